#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Tervane::Testing {

/// One answer the server gives, with the ways a real server misbehaves.
struct ScriptedResponse {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    /// Wait this long before answering at all.
    std::chrono::milliseconds delayBeforeResponse{0};
    /// Send the body in pieces of this many bytes with `delayBetweenChunks` between them
    /// (0: all at once).
    std::size_t chunkSize = 0;
    std::chrono::milliseconds delayBetweenChunks{0};
    /// Announce the whole body's length but close the connection after this many bytes.
    std::optional<std::size_t> closeAfterBodyBytes;

    static ScriptedResponse json(std::string body) {
        return {200, std::move(body), {{"Content-Type", "application/json"}}};
    }
    static ScriptedResponse redirect(int status, std::string location) {
        return {status, {}, {{"Location", std::move(location)}}};
    }
};

/// A request as the server read it. Header names are lower case.
struct RecordedRequest {
    std::string method;
    std::string target;  // as sent on the request line: a path, or an absolute address via a proxy
    std::string path;    // the target's path without the query, percent-encoding kept
    std::map<std::string, std::string> headers;
};

/// An HTTP/1.1 server on 127.0.0.1 with a port of its own, answering from a script and
/// recording every request. Each connection is served on its own thread and closed after one
/// answer. Paths without a route get 404.
class LoopbackHTTPServer {
public:
    LoopbackHTTPServer();
    ~LoopbackHTTPServer();
    LoopbackHTTPServer(const LoopbackHTTPServer&) = delete;
    LoopbackHTTPServer& operator=(const LoopbackHTTPServer&) = delete;

    [[nodiscard]] std::uint16_t port() const noexcept { return port_; }
    /// "http://127.0.0.1:<port>".
    [[nodiscard]] std::string baseURL() const;

    /// Answers `path` with `response` every time.
    void route(const std::string& path, ScriptedResponse response);
    /// Answers `path` with each response in turn, the last one from then on.
    void routeSequence(const std::string& path, std::vector<ScriptedResponse> responses);

    [[nodiscard]] std::vector<RecordedRequest> requests() const;
    /// The requests for one path.
    [[nodiscard]] std::vector<RecordedRequest> requests(const std::string& path) const;

private:
    void acceptLoop();
    void serve(int connection);
    ScriptedResponse responseFor(const std::string& path);
    /// Sleeps for `duration` unless the server stops first; false when it stopped.
    bool pause(std::chrono::milliseconds duration);

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    std::map<std::string, std::deque<ScriptedResponse>> routes_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

/// Serves every file below `folder` as the hub repository `remotePath` ("Owner/name"): the
/// recursive listing endpoints and one file endpoint per file. Returns the served paths,
/// relative to the folder. File names must need no percent-encoding.
std::vector<std::string> serveFolderAsHubRepository(LoopbackHTTPServer& server, const std::string& remotePath,
                                                    const std::filesystem::path& folder);

}  // namespace Tervane::Testing
