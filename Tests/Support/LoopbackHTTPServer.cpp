#include "Support/LoopbackHTTPServer.hpp"

#include <Tervane/Shared/TextCase.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace Tervane::Testing {

namespace {

const char* reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 307: return "Temporary Redirect";
        case 404: return "Not Found";
        case 429: return "Too Many Requests";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

bool sendAll(int connection, const char* bytes, std::size_t count) {
    while (count > 0) {
        const auto sent = ::send(connection, bytes, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        count -= static_cast<std::size_t>(sent);
    }
    return true;
}

/// Reads up to the end of the request head; none when the client goes away or stalls.
std::optional<std::string> readHead(int connection) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd descriptor{connection, POLLIN, 0};
        if (::poll(&descriptor, 1, 5000) <= 0) return std::nullopt;
        const auto received = ::recv(connection, buffer, sizeof buffer, 0);
        if (received <= 0) return std::nullopt;
        head.append(buffer, static_cast<std::size_t>(received));
        if (head.size() > 1 << 20) return std::nullopt;
    }
    return head.substr(0, head.find("\r\n\r\n"));
}

RecordedRequest parseHead(const std::string& head) {
    RecordedRequest request;
    std::istringstream lines(head);
    std::string line;
    std::getline(lines, line);
    std::istringstream requestLine(trimmed(line));
    requestLine >> request.method >> request.target;
    std::string path = request.target;
    if (const auto scheme = path.find("://"); scheme != std::string::npos) {
        const auto slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    request.path = path.substr(0, path.find('?'));
    while (std::getline(lines, line)) {
        if (const auto colon = line.find(':'); colon != std::string::npos) {
            request.headers[asciiLowercased(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
        }
    }
    return request;
}

}  // namespace

LoopbackHTTPServer::LoopbackHTTPServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(listener_);
        throw std::runtime_error("could not listen on loopback: " + reason);
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackHTTPServer::~LoopbackHTTPServer() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    acceptor_.join();
    std::vector<std::thread> connections;
    {
        const std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    for (auto& connection : connections) connection.join();
    ::close(listener_);
}

std::string LoopbackHTTPServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

void LoopbackHTTPServer::route(const std::string& path, ScriptedResponse response) {
    routeSequence(path, {std::move(response)});
}

void LoopbackHTTPServer::routeSequence(const std::string& path, std::vector<ScriptedResponse> responses) {
    const std::lock_guard lock(mutex_);
    routes_[path] = std::deque<ScriptedResponse>(responses.begin(), responses.end());
}

std::vector<RecordedRequest> LoopbackHTTPServer::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> LoopbackHTTPServer::requests(const std::string& path) const {
    std::vector<RecordedRequest> matching;
    for (auto& request : requests()) {
        if (request.path == path) matching.push_back(request);
    }
    return matching;
}

void LoopbackHTTPServer::acceptLoop() {
    while (!stopping_) {
        pollfd descriptor{listener_, POLLIN, 0};
        if (::poll(&descriptor, 1, 50) <= 0) continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        const std::lock_guard lock(mutex_);
        connections_.emplace_back([this, connection] { serve(connection); });
    }
}

ScriptedResponse LoopbackHTTPServer::responseFor(const std::string& path) {
    const std::lock_guard lock(mutex_);
    const auto found = routes_.find(path);
    if (found == routes_.end() || found->second.empty()) return {404, "Not found", {}};
    ScriptedResponse response = found->second.front();
    if (found->second.size() > 1) found->second.pop_front();
    return response;
}

bool LoopbackHTTPServer::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, duration, [this] { return stopping_.load(); });
}

void LoopbackHTTPServer::serve(int connection) {
    if (const auto head = readHead(connection)) {
        const RecordedRequest request = parseHead(*head);
        {
            const std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        const ScriptedResponse response = responseFor(request.path);
        if (pause(response.delayBeforeResponse)) {
            std::string headText = "HTTP/1.1 " + std::to_string(response.status) + " " +
                                   reasonPhrase(response.status) + "\r\nContent-Length: " +
                                   std::to_string(response.body.size()) + "\r\nConnection: close\r\n";
            for (const auto& [name, value] : response.headers) headText += name + ": " + value + "\r\n";
            headText += "\r\n";
            const std::size_t bodyBytes = std::min(response.body.size(),
                                                   response.closeAfterBodyBytes.value_or(response.body.size()));
            bool open = sendAll(connection, headText.data(), headText.size());
            const std::size_t piece = response.chunkSize == 0 ? std::max<std::size_t>(bodyBytes, 1) : response.chunkSize;
            for (std::size_t offset = 0; open && offset < bodyBytes; offset += piece) {
                if (offset > 0 && !pause(response.delayBetweenChunks)) break;
                open = sendAll(connection, response.body.data() + offset, std::min(piece, bodyBytes - offset));
            }
        }
    }
    ::shutdown(connection, SHUT_RDWR);
    ::close(connection);
}

std::vector<std::string> serveFolderAsHubRepository(LoopbackHTTPServer& server, const std::string& remotePath,
                                                    const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    // Each listing is a JSON array of {"path", "type"} objects, one level deep.
    std::map<std::string, std::string> listings;  // hub folder ("" for the top) -> array body
    std::vector<std::string> served;
    const auto append = [&listings](const std::string& parent, const std::string& path, const char* type) {
        std::string& body = listings[parent];
        body += (body.empty() ? "[" : ",");
        body += R"({"path":")" + path + R"(","type":")" + type + R"("})";
    };
    std::vector<fs::path> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    for (const auto& path : entries) {
        const std::string relative = fs::relative(path, folder).generic_string();
        const std::string parent = fs::path(relative).parent_path().generic_string();
        if (fs::is_directory(path)) {
            append(parent, relative, "directory");
            listings.try_emplace(relative);
            continue;
        }
        append(parent, relative, "file");
        std::ifstream file(path, std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        server.route("/" + remotePath + "/resolve/main/" + relative, {200, std::move(bytes), {}});
        served.push_back(relative);
    }
    listings.try_emplace("");
    for (auto& [hubFolder, body] : listings) {
        body = body.empty() ? "[]" : body + "]";
        server.route("/api/models/" + remotePath + "/tree/main" + (hubFolder.empty() ? "" : "/" + hubFolder),
                     {200, body, {{"Content-Type", "application/json"}}});
    }
    return served;
}

}  // namespace Tervane::Testing
