// alignparts-viewer: the align tool in a browser, on the stand-in host.
//
//   alignparts-viewer                 the built-in sample (the demo's motor unit)
//   alignparts-viewer FILE            a .gltf or .glb assembly
//   alignparts-viewer ... --port N    listen on port N of 127.0.0.1 (default: any free port)
//
// Prints one line with the address to open and serves until interrupted;
// SIGINT or SIGTERM end it with status 0. Exit status 1 when the file is
// refused or the port cannot be had, 2 for a wrong command line.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

#include "Script.h"
#include "ViewerServer.h"

namespace {

const char *const kUsage =
    "usage: alignparts-viewer [FILE] [--port N]\n"
    "  without FILE, shows the built-in sample; with FILE, that .gltf or .glb assembly.\n"
    "  --port N listens on port N of 127.0.0.1 (default: any free port).\n"
    "  Open the printed address in a browser; Ctrl-C ends the program.\n";

int Run(int argc, char **argv) {
    using namespace alignpartsviewer;
    ViewerServer::Options options;
    bool fileGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (word == "--port") {
            long long port = 0;
            if (i + 1 >= argc || !alignpartsdemo::ParseInteger(argv[i + 1], 0, 65535, port)) {
                std::cerr << "alignparts-viewer: --port needs a number from 0 to 65535\n" << kUsage;
                return 2;
            }
            options.port = static_cast<int>(port);
            ++i;
        } else if (word == "--manual-clock") {
            // For tests: the clock moves only on /api/wait.
            options.host.followRealTime = false;
        } else if (!word.empty() && word[0] == '-') {
            std::cerr << "alignparts-viewer: unknown option '" << word << "'\n" << kUsage;
            return 2;
        } else if (fileGiven) {
            std::cerr << "alignparts-viewer: one file at a time\n" << kUsage;
            return 2;
        } else {
            options.host.file = word;
            fileGiven = true;
        }
    }

    // The signals go to one thread that waits for them; every other thread,
    // the server's included, inherits the mask and never sees them. A shell
    // starts a background job with SIGINT ignored, and an ignored signal never
    // reaches sigwait: Ctrl-C (or a test's SIGINT) must end the viewer wherever
    // it was started.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ViewerServer server(options, BuiltInAssets());
    try {
        server.Start();
    } catch (const std::exception &error) {
        std::cerr << "alignparts-viewer: " << error.what() << '\n';
        return 1;
    }
    std::thread waiter([&server, signals] {
        int received = 0;
        sigwait(&signals, &received);
        server.Stop();
    });
    // Flushed at once: a test may read it from a pipe.
    std::cout << "alignparts-viewer: open " << server.Address() << std::endl;
    server.Serve();
    // Serving ended without a signal (it could not go on): wake the waiter.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &error) {
        std::cerr << "alignparts-viewer: " << error.what() << '\n';
        return 1;
    }
}
