// The viewer's server side: from an offset change sent by the page to the
// answer with the new placements received, on a deep synthetic assembly of
// 1,000, 10,000 and 100,000 nodes (a balanced tree of fan-out 8, each node
// turned and offset in its parent, a triangle on every one) whose top node is
// aligned as an assembly. The server runs in this process on 127.0.0.1; the
// client is httplib over loopback. Prints the median of each figure: the round
// trip until the whole answer is received, the host's run of the request (the
// library's calls, from the answer's Server-Timing) and its share of the round
// trip, the request inside the server (the answer's JSON included), the
// answer's size, and for reference how long nlohmann-json takes to read it
// back. The browser's side is measured by bench/viewer/offsets.mjs.
//
//   alignparts-viewer-bench [--quick] [--runs N] [COUNT...]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "ViewerServer.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t kFanOut = 8;

void Append32(std::string &bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>((value >> (8 * i)) & 0xff);
}

// A binary glTF of `count` nodes, written by hand: the JSON chunk and one
// buffer of a single triangle that every node's mesh shares.
fs::path WriteSyntheticFile(std::size_t count) {
    const double half = std::sqrt(0.5);
    const std::vector<double> turns[4] = {
        {0, 0, 0, 1}, {half, 0, 0, half}, {0, 0, 0.3826834, 0.9238795}, {0.1, 0.2, 0.3, 0.9273618}};
    json nodes = json::array();
    std::vector<std::vector<std::size_t>> children(count);
    for (std::size_t i = 1; i < count; ++i)
        children[(i - 1) / kFanOut].push_back(i);
    for (std::size_t i = 0; i < count; ++i) {
        json node = {{"name", "n" + std::to_string(i)},
                     {"mesh", 0},
                     {"translation", {double(i % 1000), double(i / 1000 % 1000), 0.0}},
                     {"rotation", turns[i % 4]}};
        if (!children[i].empty())
            node["children"] = children[i];
        nodes.push_back(std::move(node));
    }
    const json document = {
        {"asset", {{"version", "2.0"}}},
        {"scene", 0},
        {"scenes", {{{"nodes", {0}}}}},
        {"nodes", nodes},
        {"meshes", {{{"primitives", {{{"attributes", {{"POSITION", 0}}}}}}}}},
        {"accessors",
         {{{"bufferView", 0},
           {"componentType", 5126},
           {"count", 3},
           {"type", "VEC3"},
           {"min", {0, 0, 0}},
           {"max", {1, 1, 0}}}}},
        {"bufferViews", {{{"buffer", 0}, {"byteLength", 36}}}},
        {"buffers", {{{"byteLength", 36}}}},
    };
    std::string text = document.dump();
    while (text.size() % 4)
        text += ' ';
    const float triangle[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    std::string bin(reinterpret_cast<const char *>(triangle), sizeof triangle);
    std::string bytes = "glTF";
    Append32(bytes, 2);
    Append32(bytes, static_cast<std::uint32_t>(12 + 8 + text.size() + 8 + bin.size()));
    Append32(bytes, static_cast<std::uint32_t>(text.size()));
    bytes += "JSON";
    bytes += text;
    Append32(bytes, static_cast<std::uint32_t>(bin.size()));
    bytes += std::string("BIN\0", 4);
    bytes += bin;
    const fs::path path =
        fs::temp_directory_path() /
        ("qlap-viewer-bench-" + std::to_string(::getpid()) + "-" + std::to_string(count) + ".glb");
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Timing(const std::string &header, const std::string &name) {
    const std::size_t at = header.find(name + ";dur=");
    return at == std::string::npos ? 0 : std::atof(header.c_str() + at + name.size() + 5);
}

void Measure(std::size_t count, int runs) {
    const fs::path file = WriteSyntheticFile(count);
    alignpartsviewer::ViewerServer::Options options;
    options.host.file = file.string();
    options.host.followRealTime = false;
    alignpartsviewer::ViewerServer server(options, {});
    const int port = server.Start();
    std::thread serving([&server] { server.Serve(); });
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(300, 0);
    const httplib::Headers headers = {{"X-Alignparts-Token", server.Token()},
                                      {"Origin", "http://127.0.0.1:" + std::to_string(port)}};
    const auto post = [&](const char *path, const std::string &body) {
        auto result = client.Post(path, headers, body, "application/json");
        if (!result || result->status != 200) {
            std::fprintf(stderr, "%s failed: %s\n", path,
                         result ? result->body.c_str() : "no answer");
            std::exit(1);
        }
        return result;
    };
    post("/api/select", R"({"items":["assembly:n0"]})");
    post("/api/add", "{}");
    post("/api/csys", R"({"which":"origin","kind":"custom","values":[1,2,3,10,20,30]})");
    post("/api/csys", R"({"which":"target","kind":"custom","values":[-4,5,6,-30,45,60]})");
    post("/api/wait", "{}");

    std::vector<double> roundTrip, run, total, size, parse;
    for (int i = 0; i <= runs; ++i) {
        const std::string body = "{\"values\":[0,0," + std::to_string(i % 7 + 1) + ",0,0,0]}";
        const auto started = std::chrono::steady_clock::now();
        const auto answer = post("/api/offsets", body);
        const auto received = std::chrono::steady_clock::now();
        // Read back, as a check that every node is in the answer; the page's
        // own parse is measured in the browser.
        const json state = json::parse(answer->body);
        const double ms = std::chrono::duration<double, std::milli>(received - started).count();
        const double parseMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - received)
                .count();
        if (state["nodes"].size() != count) {
            std::fprintf(stderr, "the answer holds %zu nodes, not %zu\n", state["nodes"].size(),
                         count);
            std::exit(1);
        }
        if (i == 0)
            continue; // the first run warms the caches
        const std::string timing = answer->get_header_value("Server-Timing");
        roundTrip.push_back(ms);
        run.push_back(Timing(timing, "run"));
        total.push_back(Timing(timing, "total"));
        size.push_back(double(answer->body.size()) / 1e6);
        parse.push_back(parseMs);
    }
    server.Stop();
    serving.join();
    fs::remove(file);
    const double median = Median(roundTrip);
    std::printf("%9zu %9d %12.2f %12.2f %10.0f%% %12.2f %10.1f %12.2f\n", count, runs, median,
                Median(run), median > 0 ? 100 * Median(run) / median : 0, Median(total),
                Median(size), Median(parse));
}

} // namespace

int main(int argc, char **argv) {
    bool quick = false;
    int runs = 0;
    std::vector<std::size_t> counts;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            counts.push_back(std::strtoul(argv[i], nullptr, 10));
    }
    if (runs == 0)
        runs = quick ? 7 : 21;
    if (counts.empty())
        counts = quick ? std::vector<std::size_t>{1000, 10000}
                       : std::vector<std::size_t>{1000, 10000, 100000};
    std::printf("An offset change, sent to the viewer's server until its whole answer is "
                "received (medians of %d runs)\n",
                runs);
    std::printf("%9s %9s %12s %12s %11s %12s %10s %12s\n", "parts", "runs", "answer ms",
                "library ms", "share", "server ms", "answer MB", "C++ parse ms");
    for (std::size_t count : counts)
        Measure(count, runs);
    return 0;
}
