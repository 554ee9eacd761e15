// The viewer's server as the page and a hostile page meet it, started in this
// process on a free port of 127.0.0.1 with the clock moved by /api/wait only.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "Format.h"
#include "Runner.h"
#include "ScriptRun.h"
#include "ViewerServer.h"

namespace {

using alignpartsviewer::ViewerServer;
using nlohmann::json;
namespace fs = std::filesystem;

class Viewer {
public:
    explicit Viewer(const std::string &file = std::string()) {
        ViewerServer::Options options;
        options.host.file = file;
        options.host.followRealTime = false;
        server_.reset(
            new ViewerServer(options, {{"/app/index.html", QLAP_VIEWER_INDEX, "text/html"}}));
        port_ = server_->Start();
        serving_ = std::thread([this] { server_->Serve(); });
        // Serve binds nothing new; wait until it accepts before the first request.
        for (int i = 0; i < 200 && !Client().Get("/api/state", Authorised()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Viewer() {
        server_->Stop();
        serving_.join();
    }

    int Port() const { return port_; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string &Token() const { return server_->Token(); }
    httplib::Client Client() const {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(60, 0);
        return client;
    }
    httplib::Headers Authorised() const {
        return {{"X-Alignparts-Token", Token()}, {"Origin", "http://" + Host()}};
    }
    json Post(const std::string &path, const std::string &body, int status = 200) const {
        const auto result = Client().Post(path.c_str(), Authorised(), body, "application/json");
        EXPECT_TRUE(result) << path;
        if (!result)
            return json();
        EXPECT_EQ(result->status, status) << path << " " << body << ": " << result->body;
        return json::parse(result->body, nullptr, false);
    }
    // The message loop is the process's own: a script run beside the server
    // runs on the server's host thread, as everything that calls the library must.
    qltest::ScriptRun RunScript(const std::string &script) const {
        return server_->OnUiThread(
            [&](alignpartsviewer::ViewerHost &) { return qltest::RunText(script); });
    }
    json Get(const std::string &path) const {
        const auto result = Client().Get(path.c_str(), Authorised());
        EXPECT_TRUE(result && result->status == 200) << path;
        return result ? json::parse(result->body, nullptr, false) : json();
    }

private:
    std::unique_ptr<ViewerServer> server_;
    int port_ = 0;
    std::thread serving_;
};

// ---------------------------------------------------------------------------
// Refused requests

struct Refusal {
    const char *what;
    const char *method;
    std::string path;
    httplib::Headers headers; // replaces the authorised ones when given
    std::string body;
    int status;
};

TEST(ViewerSecurity, RefusedRequestsChangeNothing) {
    Viewer viewer;
    // A state worth keeping: the motor taken in, a target set, the plate selected.
    viewer.Post("/api/select", R"({"items":["assembly:motor"]})");
    viewer.Post("/api/add", "{}");
    viewer.Post("/api/csys", R"({"which":"target","kind":"custom","values":[4,-1,0,0,0,90]})");
    viewer.Post("/api/select", R"({"items":["part:plate"]})");
    viewer.Post("/api/wait", "{}");
    const json before = viewer.Get("/api/state");

    const std::string host = viewer.Host();
    const std::string token = viewer.Token();
    const std::string origin = "http://" + host;
    const std::string otherPort =
        "127.0.0.1:" + std::to_string(viewer.Port() == 1 ? 2 : viewer.Port() - 1);
    const httplib::Headers good = viewer.Authorised();
    const auto with = [&](httplib::Headers extra) {
        httplib::Headers headers = good;
        for (const auto &[name, value] : extra) {
            headers.erase(name);
            headers.emplace(name, value);
        }
        return headers;
    };
    const auto without = [&](const std::string &name) {
        httplib::Headers headers = good;
        headers.erase(name);
        return headers;
    };
    const std::string offsets = R"({"values":[1,2,3,4,5,6]})";
    // A pick on the plate's top face, to which each case adds a bad outline.
    const std::string pick =
        R"({"which":"target","kind":"picked","node":"plate","point":[7,-3.5,0],"triangle":[[-6,-4,0],[8,-4,0],[8,4,0]],"edges":)";
    std::string manyEdges = "[";
    for (int i = 0; i <= 256; ++i)
        manyEdges += std::string(i ? "," : "") + "[[-6,-4,0],[8,-4,0]]";
    manyEdges += "]";
    std::string deep(5000, '[');
    deep = R"({"values":)" + deep + std::string(5000, ']') + "}";

    const std::vector<Refusal> refusals = {
        // DNS rebinding: another site's name resolved to 127.0.0.1.
        {"a foreign Host", "GET", "/api/state",
         with({{"Host", "evil.example:" + std::to_string(viewer.Port())}}), "", 403},
        {"the right name on another port", "GET", "/api/state", with({{"Host", otherPort}}), "",
         403},
        {"localhost without the port", "GET", "/api/state", with({{"Host", "localhost"}}), "", 403},
        {"a foreign Host with the token in the page's query", "GET", "/?token=" + token,
         with({{"Host", "evil.example"}}), "", 403},
        {"no token", "GET", "/api/state", without("X-Alignparts-Token"), "", 401},
        {"a wrong token", "GET", "/api/state", with({{"X-Alignparts-Token", std::string(32, '0')}}),
         "", 401},
        {"the token with one more character", "GET", "/api/state",
         with({{"X-Alignparts-Token", token + "0"}}), "", 401},
        {"a wrong cookie", "GET", "/api/state",
         with({{"X-Alignparts-Token", ""}, {"Cookie", "alignparts_token=" + std::string(32, 'f')}}),
         "", 401},
        {"the page with a wrong token", "GET", "/?token=" + std::string(32, '1'),
         without("X-Alignparts-Token"), "", 401},
        {"the token in the query of an API request", "GET", "/api/state?token=" + token,
         without("X-Alignparts-Token"), "", 401},
        {"a POST without Origin", "POST", "/api/offsets", without("Origin"), offsets, 403},
        {"a POST from another site", "POST", "/api/offsets",
         with({{"Origin", "http://evil.example"}}), offsets, 403},
        {"a POST from the right host over https", "POST", "/api/offsets",
         with({{"Origin", "https://" + host}}), offsets, 403},
        {"a POST from an opaque origin", "POST", "/api/offsets", with({{"Origin", "null"}}),
         offsets, 403},
        {"a POST from another port", "POST", "/api/offsets",
         with({{"Origin", "http://" + otherPort}}), offsets, 403},
        {"an unknown path", "GET", "/api/secrets", {}, "", 404},
        {"the source tree through /app", "GET", "/app/../CMakeLists.txt", {}, "", 404},
        {"the source tree, escaped", "GET", "/app/%2e%2e/%2e%2e/CMakeLists.txt", {}, "", 404},
        {"three's package file", "GET", "/vendor/three/package.json", {}, "", 404},
        {"out of three", "GET", "/vendor/three/../../package-lock.json", {}, "", 404},
        {"an absolute path", "GET", "//etc/passwd", {}, "", 404},
        {"the sample has no file", "GET", "/api/file", {}, "", 404},
        {"a resource of no file", "GET", "/api/file/res/turned.bin", {}, "", 404},
        {"GET of a change", "GET", "/api/offsets", {}, "", 405},
        {"POST of a reading", "POST", "/api/state", {}, "{}", 405},
        {"PUT", "PUT", "/api/offsets", {}, offsets, 405},
        {"DELETE", "DELETE", "/api/state", {}, "", 405},
        {"an unknown change", "POST", "/api/explode", {}, "{}", 404},
        {"malformed JSON", "POST", "/api/offsets", {}, R"({"values":[1,2,3,4,5,6])", 400},
        {"JSON that is not an object", "POST", "/api/offsets", {}, "[1,2,3,4,5,6]", 400},
        {"deeply nested JSON", "POST", "/api/offsets", {}, deep, 400},
        {"a string for a number", "POST", "/api/offsets", {}, R"({"values":[1,2,"3",4,5,6]})", 400},
        {"five offsets", "POST", "/api/offsets", {}, R"({"values":[1,2,3,4,5]})", 400},
        {"an endless number", "POST", "/api/offsets", {}, R"({"values":[1,2,1e999,4,5,6]})", 400},
        {"a misspelt member", "POST", "/api/offsets", {}, R"({"value":[1,2,3,4,5,6]})", 400},
        {"an extra member", "POST", "/api/offsets", {}, R"({"values":[1,2,3,4,5,6],"x":1})", 400},
        {"an unknown node", "POST", "/api/select", {}, R"({"items":["part:nosuch"]})", 400},
        {"a good item then a bad one",
         "POST",
         "/api/select",
         {},
         R"({"items":["part:bolt1",7]})",
         400},
        {"a name that is not UTF-8", "POST", "/api/select", {}, "{\"items\":[\"part:\xff\"]}", 400},
        {"a dropped file's name that is not UTF-8", "POST", "/api/open",
         with({{"X-Alignparts-Name", "\xff.glb"}}), "not a glb", 400},
        {"an item without its kind", "POST", "/api/select", {}, R"({"items":["motor"]})", 400},
        {"a collection named as a part",
         "POST",
         "/api/select",
         {},
         R"({"items":["part:bolts"]})",
         400},
        {"items as a string", "POST", "/api/select", {}, R"({"items":"part:plate"})", 400},
        {"a third frame", "POST", "/api/csys", {}, R"({"which":"middle","kind":"world"})", 400},
        {"a custom frame of three numbers",
         "POST",
         "/api/csys",
         {},
         R"({"which":"origin","kind":"custom","values":[1,2,3]})",
         400},
        {"a custom frame without values",
         "POST",
         "/api/csys",
         {},
         R"({"which":"origin","kind":"custom"})",
         400},
        {"world with values",
         "POST",
         "/api/csys",
         {},
         R"({"which":"origin","kind":"world","values":[1,2,3,4,5,6]})",
         400},
        {"a pick off its face",
         "POST",
         "/api/csys",
         {},
         R"({"which":"target","kind":"picked","node":"plate","point":[0,0,5],"triangle":[[0,0,0],[1,0,0],[0,1,0]]})",
         400},
        {"a pick of a sliver",
         "POST",
         "/api/csys",
         {},
         R"({"which":"target","kind":"picked","node":"plate","point":[0,0,0],"triangle":[[0,0,0],[1,0,0],[2,0,0]]})",
         400},
        {"a pick on no node",
         "POST",
         "/api/csys",
         {},
         R"({"which":"target","kind":"picked","node":"ghost","point":[0,0,0],"triangle":[[0,0,0],[1,0,0],[0,1,0]]})",
         400},
        {"a face outline that is no list", "POST", "/api/csys", {}, pick + R"("square"})", 400},
        {"a face outline of one point", "POST", "/api/csys", {}, pick + R"([[[0,0,0]]]})", 400},
        {"a face edge of three points",
         "POST",
         "/api/csys",
         {},
         pick + R"([[[0,0,0],[1,0,0],[2,0,0]]]})",
         400},
        {"a face edge of two numbers", "POST", "/api/csys", {}, pick + R"([[[0,0],[1,0]]]})", 400},
        {"a good face edge then an endless one",
         "POST",
         "/api/csys",
         {},
         pick + R"([[[-6,-4,0],[8,-4,0]],[[0,0,0],[1e999,0,0]]]})",
         400},
        {"a face edge with a string",
         "POST",
         "/api/csys",
         {},
         pick + R"([[[-6,-4,0],[8,-4,"0"]]]})",
         400},
        {"a face outline of 257 edges", "POST", "/api/csys", {}, pick + manyEdges + "}", 400},
        {"a face outline for a world frame",
         "POST",
         "/api/csys",
         {},
         R"({"which":"target","kind":"world","edges":[]})",
         400},
        {"an invalid frame set for good",
         "POST",
         "/api/csys",
         {},
         R"({"which":"target","kind":"invalid"})",
         400},
        {"a preview of the parts' frame",
         "POST",
         "/api/preview",
         {},
         R"({"which":"origin","kind":"parts"})",
         400},
        {"mode 3", "POST", "/api/mode", {}, R"({"mode":3})", 400},
        {"mode 1.5", "POST", "/api/mode", {}, R"({"mode":1.5})", 400},
        {"mode true", "POST", "/api/mode", {}, R"({"mode":true})", 400},
        {"previewed 1", "POST", "/api/previewed", {}, R"({"on":1})", 400},
        {"reset flags 16", "POST", "/api/reset", {}, R"({"flags":16})", 400},
        {"reset flags -1", "POST", "/api/reset", {}, R"({"flags":-1})", 400},
        {"a wait back in time", "POST", "/api/wait", {}, R"({"ms":-5})", 400},
        {"an undo with nothing done", "POST", "/api/undo", {}, "{}", 400},
        {"a redo with nothing undone", "POST", "/api/redo", {}, "{}", 400},
        {"an apply with arguments", "POST", "/api/apply", {}, R"({"now":true})", 400},
        {"a save of the sample", "POST", "/api/save", {}, "{}", 400},
        {"a dropped file without a name", "POST", "/api/open", {}, "glTF", 400},
        {"a dropped file named into another folder", "POST", "/api/open",
         with({{"X-Alignparts-Name", "../x.glb"}}), "glTF", 400},
        {"a dropped file of another kind", "POST", "/api/open",
         with({{"X-Alignparts-Name", "notes.txt"}}), "text", 400},
        {"a dropped file that is no glTF", "POST", "/api/open",
         with({{"X-Alignparts-Name", "x.glb"}}), "not a glb at all", 400},
        {"an oversize JSON body",
         "POST",
         "/api/offsets",
         {},
         R"({"values":[1,2,3,4,5,6],"pad":")" + std::string(70000, ' ') + "\"}",
         413},
    };
    for (const Refusal &refusal : refusals) {
        httplib::Client client = viewer.Client();
        const httplib::Headers headers = refusal.headers.empty() ? good : refusal.headers;
        httplib::Result result =
            std::string(refusal.method) == "GET" ? client.Get(refusal.path.c_str(), headers)
            : std::string(refusal.method) == "POST"
                ? client.Post(refusal.path.c_str(), headers, refusal.body, "application/json")
            : std::string(refusal.method) == "PUT"
                ? client.Put(refusal.path.c_str(), headers, refusal.body, "application/json")
                : client.Delete(refusal.path.c_str(), headers);
        ASSERT_TRUE(result) << refusal.what;
        EXPECT_EQ(result->status, refusal.status) << refusal.what << ": " << result->body;
        const json answer = json::parse(result->body, nullptr, false);
        EXPECT_TRUE(answer.is_object() && answer.contains("error") && answer["error"].is_string())
            << refusal.what << ": " << result->body;
        EXPECT_EQ(result->body.find('\n'), std::string::npos) << refusal.what;
        EXPECT_FALSE(result->has_header("Access-Control-Allow-Origin")) << refusal.what;
    }
    EXPECT_EQ(viewer.Get("/api/state"), before);
}

TEST(ViewerSecurity, ThePageSetsTheCookieThatThenStandsForTheToken) {
    Viewer viewer;
    httplib::Client client = viewer.Client();
    for (const std::string host : {"127.0.0.1", "localhost", "[::1]"}) {
        const std::string withPort = host + ":" + std::to_string(viewer.Port());
        const auto page = client.Get(("/?token=" + viewer.Token()).c_str(), {{"Host", withPort}});
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200) << host;
        EXPECT_EQ(page->get_header_value("Set-Cookie"),
                  "alignparts_token=" + viewer.Token() + "; Path=/; HttpOnly; SameSite=Strict");
        const httplib::Headers byCookie = {
            {"Host", withPort},
            {"Cookie", "theme=dark; alignparts_token=" + viewer.Token()},
            {"Origin", "http://" + withPort}};
        const auto state = client.Post("/api/offsets", byCookie, R"({"values":[0,0,20,0,0,0]})",
                                       "application/json");
        ASSERT_TRUE(state);
        EXPECT_EQ(state->status, 200) << host << ": " << state->body;
        EXPECT_FALSE(state->has_header("Access-Control-Allow-Origin"));
    }
}

TEST(ViewerAnswers, AreSentPlainlyEvenToABrowserThatAcceptsCompression) {
    // Compressed at the HTTP library's slowest setting, an answer of a
    // thousand nodes took over a second; over loopback plain is fastest.
    Viewer viewer;
    httplib::Headers headers = viewer.Authorised();
    headers.emplace("Accept-Encoding", "gzip, deflate, br");
    httplib::Client client = viewer.Client();
    client.set_decompress(false);
    for (const char *path : {"/api/state", "/api/scene", "/api/nothing"}) {
        const auto answer = client.Get(path, headers);
        ASSERT_TRUE(answer);
        EXPECT_FALSE(answer->has_header("Content-Encoding")) << path;
        EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json; charset=utf-8");
    }
    const auto posted =
        client.Post("/api/offsets", headers, R"({"values":[0,0,1,0,0,0]})", "application/json");
    ASSERT_TRUE(posted);
    EXPECT_FALSE(posted->has_header("Content-Encoding"));
}

// ---------------------------------------------------------------------------
// One thread, in arrival order

TEST(ViewerThreads, ConcurrentRequestsHaveTheOutcomeOfOneSerialOrder) {
    Viewer viewer;
    viewer.Post("/api/select", R"({"items":["assembly:motor","collection:bolts"]})");
    viewer.Post("/api/add", "{}");
    const std::size_t eventsBefore = viewer.Get("/api/state")["eventCount"].get<std::size_t>();

    constexpr int kThreads = 6, kEach = 8;
    struct Seen {
        int sent;
        std::size_t eventCount;
        double offset;
    };
    std::vector<std::vector<Seen>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&viewer, &seen, t] {
            httplib::Client client = viewer.Client();
            for (int i = 0; i < kEach; ++i) {
                const int value = 1 + t * kEach + i;
                const auto result = client.Post(
                    "/api/offsets", viewer.Authorised(),
                    "{\"values\":[" + std::to_string(value) + ",0,0,0,0,0]}", "application/json");
                if (!result || result->status != 200)
                    continue;
                const json state = json::parse(result->body);
                seen[std::size_t(t)].push_back({value, state["eventCount"].get<std::size_t>(),
                                                state["state"]["offsets"][0].get<double>()});
            }
        });
    for (std::thread &thread : threads)
        thread.join();

    std::vector<Seen> all;
    for (const auto &list : seen)
        all.insert(all.end(), list.begin(), list.end());
    ASSERT_EQ(all.size(), std::size_t(kThreads * kEach));
    // Each answer shows the state just after its own request: its own offset,
    // and a place in the one order no other answer shares.
    std::set<std::size_t> places;
    for (const Seen &one : all) {
        EXPECT_EQ(one.offset, one.sent);
        EXPECT_TRUE(places.insert(one.eventCount).second) << "two answers at " << one.eventCount;
    }
    EXPECT_EQ(*places.begin(), eventsBefore + 1);
    EXPECT_EQ(*places.rbegin(), eventsBefore + all.size());
    // Each thread's requests were carried out in the order it sent them.
    for (const auto &list : seen)
        for (std::size_t i = 1; i < list.size(); ++i)
            EXPECT_LT(list[i - 1].eventCount, list[i].eventCount);
    // The last in that order is what stands.
    const auto last = std::max_element(all.begin(), all.end(), [](const Seen &a, const Seen &b) {
        return a.eventCount < b.eventCount;
    });
    const json state = viewer.Get("/api/state");
    EXPECT_EQ(state["state"]["offsets"][0].get<double>(), last->sent);
    EXPECT_EQ(state["eventCount"].get<std::size_t>(), last->eventCount);
}

// ---------------------------------------------------------------------------
// The viewer and the scripted playground agree

// The sample script's scene, as the viewer builds it.
std::string SampleScene() {
    std::istringstream sample(alignpartsdemo::SampleScript());
    std::string scene, line;
    while (std::getline(sample, line))
        if (line.rfind("instance ", 0) == 0 || line.rfind("collection ", 0) == 0)
            scene += line + "\n";
    return scene + "new\n";
}

// The viewer's placements written as the demo's `locations` writes them.
std::string Locations(const json &state) {
    const auto location = [](const json &placed) {
        dg::Location location;
        for (int i = 0; i < 3; ++i)
            location.pos[i] = placed["position"][i].get<double>();
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                location.mat.m[r][c] = placed["rotation"][r][c].get<float>();
        return alignpartsdemo::FormatLocation(location);
    };
    std::vector<std::string> lines;
    for (const json &node : state["nodes"])
        lines.push_back(node["name"].get<std::string>() + " " + location(node));
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    for (const char *which : {"origin", "target"}) {
        const json &widget = state["widgets"][which];
        text += std::string("widget ") + which +
                (widget["shown"].get<bool>() ? " shown " : " hidden ") + location(widget) + "\n";
    }
    return text;
}

// The script's `locations` output, its instances sorted as above.
std::string SortedLocations(const std::string &output) {
    std::vector<std::string> nodes, widgets;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        (line.rfind("widget ", 0) == 0 ? widgets : nodes).push_back(line);
    std::sort(nodes.begin(), nodes.end());
    std::string text;
    for (const auto *list : {&nodes, &widgets})
        for (const std::string &line : *list)
            text += line + "\n";
    return text;
}

TEST(ViewerAgreesWithTheScript, StateAndPlacementsAfterEachStep) {
    struct Step {
        const char *script;
        const char *path;
        const char *body;
    };
    const Step steps[] = {
        {"select assembly:motor collection:bolts", "/api/select",
         R"({"items":["assembly:motor","collection:bolts"]})"},
        {"add", "/api/add", "{}"},
        {"origin parts", "/api/csys", R"({"which":"origin","kind":"parts"})"},
        {"target custom 4 -1 0 0 0 90", "/api/csys",
         R"({"which":"target","kind":"custom","values":[4,-1,0,0,0,90]})"},
        {"wait 250", "/api/wait", R"({"ms":250})"},
        {"wait", "/api/wait", "{}"},
        {"offsets 0 0 1.4375 0 0 30", "/api/offsets", R"({"values":[0,0,1.4375,0,0,30]})"},
        {"wait 100", "/api/wait", R"({"ms":100})"},
        {"mode 2", "/api/mode", R"({"mode":2})"},
        {"wait", "/api/wait", "{}"},
        {"apply", "/api/apply", "{}"},
        {"undo", "/api/undo", "{}"},
        {"redo", "/api/redo", "{}"},
        {"select part:bolt1", "/api/select", R"({"items":["part:bolt1"]})"},
        {"remove", "/api/remove", "{}"},
        {"previewed off", "/api/previewed", R"({"on":false})"},
        {"reset 8", "/api/reset", R"({"flags":8})"},
        {"wait", "/api/wait", "{}"},
    };
    Viewer viewer;
    std::string script = SampleScene();
    for (const Step &step : steps) {
        SCOPED_TRACE(step.script);
        script += std::string(step.script) + "\n";
        const json answer = viewer.Post(step.path, step.body);
        const qltest::ScriptRun stateRun = viewer.RunScript(script + "state\n");
        ASSERT_EQ(stateRun.status, 0) << stateRun.err;
        EXPECT_EQ(answer["line"].get<std::string>() + "\n", stateRun.out);
        const qltest::ScriptRun locationsRun = viewer.RunScript(script + "locations\n");
        EXPECT_EQ(Locations(answer), SortedLocations(locationsRun.out));
        const qltest::ScriptRun eventsRun = viewer.RunScript(script + "events\n");
        std::string events;
        for (const json &line : answer["events"])
            events += line.get<std::string>() + "\n";
        EXPECT_EQ(events, eventsRun.out);
    }
}

// ---------------------------------------------------------------------------
// A picked face through the interface

TEST(ViewerPick, APickedTargetStandsOnTheFaceAndFollowsNothingButItsPart) {
    Viewer viewer;
    viewer.Post("/api/select", R"({"items":["part:bolt2"]})");
    viewer.Post("/api/add", "{}");
    viewer.Post("/api/csys", R"({"which":"origin","kind":"parts"})");
    // The plate's top face (z = 0), near its front edge: X along the edge.
    const json answer = viewer.Post(
        "/api/csys",
        R"({"which":"target","kind":"picked","node":"plate","point":[7,-3.5,0],"triangle":[[-6,-4,0],[8,-4,0],[8,4,0]]})");
    EXPECT_EQ(answer["state"]["target"], 3);
    EXPECT_EQ(answer["csys"]["target"]["kind"], "picked");
    EXPECT_EQ(answer["csys"]["target"]["node"], "plate");
    const json &target = answer["widgets"]["target"];
    EXPECT_EQ(target["position"], json({7.0, -3.5, 0.0}));
    EXPECT_EQ(target["rotation"], json({{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}));
    viewer.Post("/api/wait", "{}");
    // The bolt's frame (from the parts) now stands on the picked point.
    const json state = viewer.Get("/api/state");
    EXPECT_EQ(state["widgets"]["target"]["position"], json({7.0, -3.5, 0.0}));
}

TEST(ViewerPick, XRunsAlongTheFacesOutlineNotTheTrianglesDiagonal) {
    Viewer viewer;
    // The plate's top face is two triangles; the point is nearer the
    // diagonal (-6,-4)-(8,4) than any side, nearest of the sides to the front.
    const std::string pick =
        R"({"which":"target","kind":"picked","node":"plate","point":[1,-0.2,0],"triangle":[[-6,-4,0],[8,-4,0],[8,4,0]])";
    const std::string outline =
        R"([[[-6,-4,0],[8,-4,0]],[[8,-4,0],[8,4,0]],[[8,4,0],[-6,4,0]],[[-6,4,0],[-6,-4,0]]])";
    json answer = viewer.Post("/api/csys", pick + R"(,"edges":)" + outline + "}");
    EXPECT_EQ(answer["widgets"]["target"]["rotation"],
              json({{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}));
    EXPECT_EQ(answer["csys"]["target"]["edges"], json::parse(outline));
    // Without the outline, the triangle's own edges are all there is.
    answer = viewer.Post("/api/csys", pick + "}");
    EXPECT_NE(answer["widgets"]["target"]["rotation"][0], json({1.0, 0.0, 0.0}));
}

// ---------------------------------------------------------------------------
// A file, its resources, its save, and a dropped file

TEST(ViewerFile, ServesTheFileAndWhatItNamesOnlyAndSavesBesideIt) {
    const fs::path folder =
        fs::temp_directory_path() / ("qlap-viewer-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const char *name : {"turned.gltf", "turned.bin"})
        fs::copy_file(fs::path(QLAP_GLTF_DATA) / name, folder / name);
    std::ofstream(folder / "secret.txt") << "not for the page";
    {
        Viewer viewer((folder / "turned.gltf").string());
        const json scene = viewer.Get("/api/scene");
        EXPECT_EQ(scene["file"], "turned.gltf");
        ASSERT_EQ(scene["nodes"].size(), 3u);
        EXPECT_EQ(scene["nodes"][2]["name"], "node2"); // a name a script cannot type
        EXPECT_EQ(scene["nodes"][2]["gltfIndex"], 2);

        httplib::Client client = viewer.Client();
        const auto bin = client.Get("/api/file/res/turned.bin", viewer.Authorised());
        ASSERT_TRUE(bin);
        EXPECT_EQ(bin->status, 200);
        EXPECT_EQ(bin->body.size(), 36u);
        for (const char *path : {"/api/file/res/secret.txt", "/api/file/res/../turned.gltf",
                                 "/api/file/res/turned.gltf", "/api/file/res/"}) {
            const auto refused = client.Get(path, viewer.Authorised());
            ASSERT_TRUE(refused);
            EXPECT_EQ(refused->status, 404) << path;
        }
        const auto file = client.Get("/api/file", viewer.Authorised());
        ASSERT_TRUE(file);
        EXPECT_EQ(file->status, 200);

        viewer.Post("/api/select", R"({"items":["part:arm"]})");
        viewer.Post("/api/add", "{}");
        viewer.Post("/api/csys", R"({"which":"origin","kind":"world"})");
        viewer.Post("/api/csys", R"({"which":"target","kind":"custom","values":[0,0,1,0,0,0]})");
        viewer.Post("/api/wait", "{}");
        viewer.Post("/api/apply", "{}");
        EXPECT_EQ(viewer.Post("/api/save", "{}")["saved"], "turned-aligned.gltf");
        EXPECT_TRUE(fs::exists(folder / "turned-aligned.gltf"));
    }
    fs::remove_all(folder);
}

TEST(ViewerFile, ADroppedFileReplacesTheWorldAndABadOneChangesNothing) {
    const fs::path engine =
        fs::path(QLAP_GLTF_MODELS) / "2CylinderEngine-glTF-Binary" / "2CylinderEngine.glb";
    if (!fs::exists(engine))
        GTEST_SKIP() << "no " << engine;
    std::ifstream in(engine, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Viewer viewer;
    httplib::Headers headers = viewer.Authorised();
    headers.emplace("X-Alignparts-Name", "engine.glb");
    const json before = viewer.Get("/api/state");
    // Cut short, it is refused with the name the page knows it by.
    const auto cut = viewer.Client().Post("/api/open", headers, bytes.substr(0, bytes.size() / 2),
                                          "model/gltf-binary");
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->status, 400);
    EXPECT_NE(cut->body.find("engine.glb"), std::string::npos) << cut->body;
    EXPECT_EQ(cut->body.find(fs::temp_directory_path().string()), std::string::npos) << cut->body;
    EXPECT_EQ(viewer.Get("/api/state"), before);

    const auto opened = viewer.Client().Post("/api/open", headers, bytes, "model/gltf-binary");
    ASSERT_TRUE(opened);
    ASSERT_EQ(opened->status, 200) << opened->body;
    const json scene = viewer.Get("/api/scene");
    EXPECT_EQ(scene["file"], "engine.glb");
    EXPECT_EQ(scene["version"], 2);
    EXPECT_GT(scene["nodes"].size(), 10u);
    viewer.Post("/api/save", "{}", 400);
}

} // namespace
