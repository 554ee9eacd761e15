// The viewer's HTTP server: security checks on every request, the page's
// assets from a fixed list, and the API carried out on one host thread.
//
// The library takes calls from one thread at a time, so every API request is
// queued to one thread, the host's user-interface thread, and carried out
// there in the order it arrived; the server's own threads only read and write
// sockets and wait for their answer. Between requests the UI thread moves the
// scene's clock on with real time while anything animates.
//
// Typical use:
//   ViewerServer server(options, assets);
//   int port = server.Start();     // builds the world, binds 127.0.0.1
//   std::cout << server.Address() << std::endl;
//   server.Serve();                // until Stop() from another thread
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Assets.h"
#include "ViewerHost.h"

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace alignpartsviewer {

class ViewerServer {
public:
    struct Options {
        int port = 0;      // 0: any free port
        std::string token; // empty: a random one
        ViewerHost::Options host;
    };

    ViewerServer(Options options, std::vector<Asset> assets);
    ~ViewerServer();
    ViewerServer(const ViewerServer &) = delete;
    ViewerServer &operator=(const ViewerServer &) = delete;

    // Builds the world on the UI thread and binds 127.0.0.1. Answers the port;
    // throws RequestError for a refused file, std::runtime_error when it cannot bind.
    int Start();
    // Serves until Stop is called (from any thread, or a signal's thread).
    void Serve();
    void Stop();

    int Port() const { return port_; }
    const std::string &Token() const { return token_; }
    // The line the program prints: where to open the page.
    std::string Address() const;

    // Runs `work` on the UI thread after everything queued before it, and
    // answers its result (exceptions pass through).
    template <typename Work>
    auto OnUiThread(Work work) -> decltype(work(std::declval<ViewerHost &>()));

private:
    void UiLoop();
    void Post(std::function<void()> task);
    bool Refused(const httplib::Request &request, httplib::Response &response) const;
    void ServeAsset(const httplib::Request &request, httplib::Response &response) const;
    void ServeApi(const httplib::Request &request, httplib::Response &response);

    Options options_;
    std::vector<Asset> assets_;
    std::string token_;
    int port_ = 0;
    std::unique_ptr<httplib::Server> http_;
    std::unique_ptr<ViewerHost> host_; // touched on the UI thread only

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread ui_;
};

template <typename Work>
auto ViewerServer::OnUiThread(Work work) -> decltype(work(std::declval<ViewerHost &>())) {
    using Result = decltype(work(std::declval<ViewerHost &>()));
    auto task =
        std::make_shared<std::packaged_task<Result()>>([this, &work] { return work(*host_); });
    std::future<Result> result = task->get_future();
    Post([task] { (*task)(); });
    return result.get();
}

} // namespace alignpartsviewer
