// The viewer's host: one HostWorld and its Alignment, and the requests the
// page sends, each carried out whole or refused with nothing changed.
//
// ViewerHost knows nothing of sockets: it takes a request's method, path and
// body and answers a status and a body. It is not thread-safe by design: the
// server calls it from one thread only, the host's user-interface thread, in
// the order the requests arrived (see ViewerServer).
//
// Typical use:
//   ViewerHost host(ViewerHost::Options{});      // the built-in sample
//   ViewerHost::Answer a = host.Handle("POST", "/api/offsets",
//                                      R"({"values":[0,0,20,0,0,0]})");
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "HostWorld.h"

namespace alignpartsviewer {

using alignpartsdemo::HostWorld;

// A request refused: its HTTP status and a one-line message.
class RequestError : public std::runtime_error {
public:
    RequestError(int status, const std::string &message)
        : std::runtime_error(message), status_(status) {}
    int Status() const { return status_; }

private:
    int status_;
};

// The type of every JSON answer.
constexpr const char *kJsonType = "application/json; charset=utf-8";

class ViewerHost {
public:
    struct Options {
        std::string file;           // empty: the built-in sample
        bool followRealTime = true; // false: the clock moves only on /api/wait
    };

    struct Answer {
        int status = 200;
        // Not the bare "application/json": the HTTP library compresses answers of
        // the types it knows with brotli at its slowest setting, which costs far
        // more than sending them plainly over loopback.
        std::string contentType = kJsonType;
        std::string body;
        double runMs = 0; // the time the request's own work took, the answer's JSON aside
    };

    // Builds the world (the sample, or the file). Throws RequestError (status
    // 400) with the loader's message when the file is refused.
    explicit ViewerHost(const Options &options);
    ~ViewerHost();
    ViewerHost(const ViewerHost &) = delete;
    ViewerHost &operator=(const ViewerHost &) = delete;

    // Carries out one API request (path starting with /api/). `name` is the
    // X-Alignparts-Name header of /api/open.
    Answer Handle(const std::string &method, const std::string &path, const std::string &body,
                  const std::string &name = std::string());

    // Moves the clock on by the real time passed since the last call while
    // anything animates (nothing when the clock follows /api/wait only), and
    // collects the notifications delivered meanwhile.
    void Tick(double elapsedMs);

    // The answers of GET /api/state (as JSON text) and GET /api/scene.
    std::string StateText();
    nlohmann::json SceneDescription() const;

    HostWorld &World() { return *world_; }
    int Version() const { return version_; }

    // The largest body of a JSON request, and of a dropped file.
    static constexpr std::size_t kMaxJsonBody = 64 * 1024;
    static constexpr std::size_t kMaxFileBody = 64u * 1024 * 1024;
    // The most outline edges a picked face may bring (the page sends those
    // nearest the point), well within the JSON body's limit.
    static constexpr std::size_t kMaxFaceEdges = 256;

private:
    struct CSysChoice {
        std::string kind = "none";
        nlohmann::json detail; // the values, or the pick, as the page sent them
    };
    struct LoadedFile {
        std::string path;                             // where it was read from
        std::string name;                             // its file name, as the page shows it
        std::string bytes;                            // the file as it was loaded
        std::map<std::string, std::string> resources; // uri -> bytes
        bool dropped = false;
    };

    std::unique_ptr<HostWorld> BuildSample();
    std::unique_ptr<HostWorld> BuildFromFile(const std::string &path, LoadedFile &loaded);
    void Install(std::unique_ptr<HostWorld> world);
    void CollectEvents();

    nlohmann::json Select(const nlohmann::json &body);
    nlohmann::json SetCSys(const nlohmann::json &body, bool preview);
    nlohmann::json Save();
    nlohmann::json Open(const std::string &bytes, const std::string &name);

    qlalignparts::Alignment &TheAlignment() const;
    du::SmartPtr<qlk::SelectionItem> MakeItem(const std::string &word) const;
    std::string DescribeItem(const qlk::SelectionItem &item) const;

    Options options_;
    std::unique_ptr<HostWorld> world_;
    std::vector<const HostWorld::InstanceEntry *> order_; // the world's nodes in tree order
    std::vector<std::string> prefixes_;                   // each node's answer up to its numbers
    std::unique_ptr<LoadedFile> file_;
    std::string dropFolder_; // a private folder for dropped files, made on the first drop
    int version_ = 1;
    CSysChoice choices_[2];
    std::deque<std::string> events_;
    std::size_t eventCount_ = 0;
    double pendingMs_ = 0;
};

} // namespace alignpartsviewer
