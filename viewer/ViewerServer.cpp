#include "ViewerServer.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <httplib.h>

namespace alignpartsviewer {

namespace {

constexpr const char *kCookie = "alignparts_token";
constexpr const char *kTokenHeader = "X-Alignparts-Token";

std::string RandomToken() {
    std::random_device device;
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 32; ++i)
        token += kHex[device() & 15];
    return token;
}

// Compares without stopping at the first difference, so that the time taken
// tells nothing about how much of a guess was right.
bool SameToken(const std::string &given, const std::string &token) {
    if (given.size() != token.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ token[i]);
    return difference == 0;
}

std::string CookieValue(const std::string &header, const std::string &name) {
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        std::string pair = header.substr(at, end - at);
        const std::size_t first = pair.find_first_not_of(' ');
        pair = first == std::string::npos ? std::string() : pair.substr(first);
        if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
            pair[name.size()] == '=')
            return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return std::string();
}

void Fail(httplib::Response &response, int status, const std::string &message) {
    response.status = status;
    response.set_content(nlohmann::json{{"error", message}}.dump(
                             -1, ' ', false, nlohmann::json::error_handler_t::replace),
                         kJsonType);
}

} // namespace

ViewerServer::ViewerServer(Options options, std::vector<Asset> assets)
    : options_(std::move(options)), assets_(std::move(assets)),
      token_(options_.token.empty() ? RandomToken() : options_.token), http_(new httplib::Server) {
    ui_ = std::thread([this] { UiLoop(); });
}

ViewerServer::~ViewerServer() {
    Stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (ui_.joinable())
        ui_.join();
}

void ViewerServer::Post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void ViewerServer::UiLoop() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    for (;;) {
        std::deque<std::function<void()>> tasks;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // A frame's time: the clock moves on about sixty times a second
            // while something animates.
            wake_.wait_for(lock, std::chrono::milliseconds(15),
                           [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_ && tasks_.empty())
                break;
            tasks.swap(tasks_);
        }
        const Clock::time_point now = Clock::now();
        if (host_)
            host_->Tick(std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
        for (auto &task : tasks)
            task();
    }
    host_.reset();
}

int ViewerServer::Start() {
    auto build = std::make_shared<std::packaged_task<void()>>(
        [this] { host_.reset(new ViewerHost(options_.host)); });
    std::future<void> built = build->get_future();
    Post([build] { (*build)(); });
    built.get();
    httplib::Server &http = *http_;
    http.set_payload_max_length(ViewerHost::kMaxFileBody);
    http.set_keep_alive_max_count(1000);
    http.set_read_timeout(10, 0);
    http.set_write_timeout(10, 0);
    http.set_pre_routing_handler(
        [this](const httplib::Request &request, httplib::Response &response) {
            return Refused(request, response) ? httplib::Server::HandlerResponse::Handled
                                              : httplib::Server::HandlerResponse::Unhandled;
        });
    http.Get(".*", [this](const httplib::Request &request, httplib::Response &response) {
        if (request.path.rfind("/api/", 0) == 0)
            ServeApi(request, response);
        else
            ServeAsset(request, response);
    });
    http.Post(".*", [this](const httplib::Request &request, httplib::Response &response) {
        ServeApi(request, response);
    });
    const auto wrongMethod = [](const httplib::Request &request, httplib::Response &response) {
        Fail(response, 405, "method " + request.method + " is not allowed");
    };
    http.Put(".*", wrongMethod);
    http.Patch(".*", wrongMethod);
    http.Delete(".*", wrongMethod);
    http.Options(".*", wrongMethod);
    http.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (response.body.empty())
            Fail(response, response.status,
                 response.status == 413
                     ? "the request body is too large"
                     : "the request was refused (" + std::to_string(response.status) + ")");
    });
    http.set_exception_handler(
        [](const httplib::Request &, httplib::Response &response, std::exception_ptr error) {
            std::string message = "the host failed";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception &caught) {
                message += std::string(": ") + caught.what();
            } catch (...) {
            }
            Fail(response, 500, message);
        });
    // Loopback only: nothing else on the network can reach the host.
    if (options_.port == 0) {
        port_ = http.bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
    } else {
        if (!http.bind_to_port("127.0.0.1", options_.port))
            throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options_.port));
        port_ = options_.port;
    }
    return port_;
}

void ViewerServer::Serve() {
    http_->listen_after_bind();
}

void ViewerServer::Stop() {
    if (http_)
        http_->stop();
}

std::string ViewerServer::Address() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_;
}

bool ViewerServer::Refused(const httplib::Request &request, httplib::Response &response) const {
    // A page of another site that resolves its own name to 127.0.0.1 (DNS
    // rebinding) sends its own name as the Host.
    const std::string port = ":" + std::to_string(port_);
    const std::string host = request.get_header_value("Host");
    const bool ownHost =
        host == "127.0.0.1" + port || host == "localhost" + port || host == "[::1]" + port;
    if (!ownHost) {
        Fail(response, 403,
             "the Host header must be 127.0.0.1" + port + ", localhost" + port + " or [::1]" +
                 port);
        return true;
    }
    const bool page = request.path == "/" && (request.method == "GET" || request.method == "HEAD");
    const bool byHeader = SameToken(request.get_header_value(kTokenHeader), token_);
    const bool byCookie =
        SameToken(CookieValue(request.get_header_value("Cookie"), kCookie), token_);
    const bool byQuery = page && SameToken(request.get_param_value("token"), token_);
    if (!byHeader && !byCookie && !byQuery) {
        Fail(response, 401, "a valid token is needed (open the address the program printed)");
        return true;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        // A form on another site can post here with the user's cookie; its
        // browser names that site as the Origin.
        const std::string origin = request.get_header_value("Origin");
        if (origin != "http://127.0.0.1" + port && origin != "http://localhost" + port &&
            origin != "http://[::1]" + port) {
            Fail(response, 403, "a POST must come from the viewer's own page (Origin)");
            return true;
        }
    }
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("Cache-Control", "no-store");
    return false;
}

void ViewerServer::ServeAsset(const httplib::Request &request, httplib::Response &response) const {
    const std::string url = request.path == "/" ? "/app/index.html" : request.path;
    for (const Asset &asset : assets_) {
        if (url != asset.url)
            continue;
        std::ifstream in(asset.path, std::ios::binary);
        if (!in)
            break;
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (request.path == "/")
            response.set_header("Set-Cookie", std::string(kCookie) + "=" + token_ +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
        response.set_content(bytes, asset.type);
        return;
    }
    Fail(response, 404, "no such resource: " + request.path);
}

void ViewerServer::ServeApi(const httplib::Request &request, httplib::Response &response) {
    const auto arrived = std::chrono::steady_clock::now();
    ViewerHost::Answer answer = OnUiThread([&](ViewerHost &host) {
        return host.Handle(request.method == "HEAD" ? "GET" : request.method, request.path,
                           request.body, request.get_header_value("X-Alignparts-Name"));
    });
    response.status = answer.status;
    // Moved, not copied: a large scene's answer is megabytes.
    response.body = std::move(answer.body);
    response.set_header("Content-Type", answer.contentType);
    // How long the host's own work took, and the whole request from its
    // arrival (the wait for the host thread and the answer's JSON included).
    const double total =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - arrived)
            .count();
    char timing[96];
    std::snprintf(timing, sizeof timing, "run;dur=%.3f, total;dur=%.3f", answer.runMs, total);
    response.set_header("Server-Timing", timing);
}

} // namespace alignpartsviewer
