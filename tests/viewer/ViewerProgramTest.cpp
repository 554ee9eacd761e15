// alignparts-viewer as a user starts it: the address line at once through a
// pipe, a page that answers, Ctrl-C or a kill ending it with status 0; a file
// it refuses or a wrong command line ending it at once with its status.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

namespace {

struct Child {
    pid_t pid = -1;
    int out = -1; // its standard output
    int err = -1; // its standard error
};

// `asBackgroundJob`: started as a shell starts one, with SIGINT ignored.
Child Start(const std::vector<std::string> &arguments, bool asBackgroundJob = false) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        if (asBackgroundJob)
            signal(SIGINT, SIG_IGN);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char *> argv;
        std::string program = QLAP_VIEWER_PROGRAM;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (std::string &argument : copies)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

// Reads a line, waiting at most a minute (a guard against a hang, not a timing).
std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (line.size() < 4096) {
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, 60000) <= 0 || read(fd, &c, 1) != 1 || c == '\n')
            break;
        line += c;
    }
    return line;
}

int Wait(const Child &child) {
    int status = 0;
    waitpid(child.pid, &status, 0);
    close(child.out);
    close(child.err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ViewerProgram, PrintsItsAddressServesAndEndsCleanlyOnEitherSignal) {
    const struct {
        int signal;
        bool asBackgroundJob;
    } ends[] = {{SIGINT, false}, {SIGINT, true}, {SIGTERM, false}};
    for (const auto &[signal, asBackgroundJob] : ends) {
        SCOPED_TRACE(std::string(strsignal(signal)) +
                     (asBackgroundJob ? " to a background job" : ""));
        const Child child = Start({}, asBackgroundJob);
        const std::string line = ReadLine(child.out);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(
            line, match,
            std::regex(
                "alignparts-viewer: open http://127\\.0\\.0\\.1:([0-9]+)/\\?token=([0-9a-f]{32})")))
            << line;
        const int port = std::stoi(match[1]);
        httplib::Client client("127.0.0.1", port);
        const auto state = client.Get("/api/scene", {{"X-Alignparts-Token", match[2].str()}});
        ASSERT_TRUE(state);
        EXPECT_EQ(state->status, 200);
        EXPECT_NE(state->body.find("\"motor\""), std::string::npos);
        kill(child.pid, signal);
        EXPECT_EQ(Wait(child), 0);
    }
}

TEST(ViewerProgram, ARefusedFileOrAWrongCommandLineEndsAtOnce) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char *says;
    } cases[] = {
        {{QLAP_GLTF_DATA "/truncated.glb"}, 1, "truncated.glb"},
        {{QLAP_GLTF_DATA "/no-such-file.glb"}, 1, "no-such-file.glb"},
        {{"--port"}, 2, "--port"},
        {{"--port", "65536"}, 2, "--port"},
        {{"--verbose"}, 2, "--verbose"},
        {{"a.glb", "b.glb"}, 2, "one file"},
    };
    for (const Case &one : cases) {
        const Child child = Start(one.arguments);
        const std::string message = ReadLine(child.err);
        EXPECT_EQ(ReadLine(child.out), "") << one.says; // no address: nothing is served
        EXPECT_EQ(Wait(child), one.status) << one.says;
        EXPECT_NE(message.find(one.says), std::string::npos) << message;
    }
}

} // namespace
