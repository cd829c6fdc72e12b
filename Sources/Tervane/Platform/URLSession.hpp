#pragma once

#include <Tervane/Platform/Error.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace Tervane {

/// The parts of an absolute address that requests and proxies care about.
struct URLComponents {
    std::string scheme;  // lower case
    std::string host;    // as written, IPv6 literals keep their brackets
    std::optional<int> port;  // only when the address names one

    /// Parses `text` as an absolute address with a scheme and a host; none otherwise (spaces,
    /// control characters, a missing scheme or host, a malformed port).
    [[nodiscard]] static std::optional<URLComponents> parse(const std::string& text);

    /// The port a request to this address connects to: the named one, else the scheme's.
    [[nodiscard]] std::optional<int> effectivePort() const;
    /// Same scheme, host (ignoring case) and effective port.
    [[nodiscard]] bool sameOrigin(const URLComponents& other) const;
};

/// One value of a proxy dictionary: an enable flag, a host or a port.
using ProxySettingValue = std::variant<bool, int, std::string>;

/// Connection proxy settings, keyed per scheme: "HTTPSEnable" (bool), "HTTPSProxy" (host),
/// "HTTPSPort" (int) for https requests and "HTTPEnable", "HTTPProxy", "HTTPPort" for http
/// ones. A scheme without an enabled entry connects directly.
using ProxyDictionary = std::map<std::string, ProxySettingValue>;

namespace ProxyKeys {
inline constexpr const char* httpsEnable = "HTTPSEnable";
inline constexpr const char* httpsProxy = "HTTPSProxy";
inline constexpr const char* httpsPort = "HTTPSPort";
inline constexpr const char* httpEnable = "HTTPEnable";
inline constexpr const char* httpProxy = "HTTPProxy";
inline constexpr const char* httpPort = "HTTPPort";
}  // namespace ProxyKeys

struct URLSessionConfiguration {
    /// When absent no proxy is used, whatever the process environment says: the settings
    /// here are the only ones a session follows.
    std::optional<ProxyDictionary> connectionProxyDictionary;
    /// Redirects followed per request before the last answer is returned as it is.
    int maximumRedirects = 10;
};

struct URLRequest {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    /// Seconds without any byte arriving (connecting included) before the request fails.
    double timeoutInterval = 60;
};

struct HTTPURLResponse {
    /// The address that gave this answer, after redirects.
    std::string url;
    long statusCode = 0;
    /// Header fields of the last answer, names in lower case.
    std::map<std::string, std::string> headerFields;
};

/// A request that did not produce a complete answer: no connection, a timeout, a transfer
/// cut short, a refused address. `code` is the transfer library's own error number.
class URLError final : public Error {
public:
    URLError(int code, std::string url, const std::string& reason)
        : Error("The request to " + url + " failed: " + reason), code_(code), url_(std::move(url)) {}

    [[nodiscard]] int code() const noexcept { return code_; }
    [[nodiscard]] const std::string& url() const noexcept { return url_; }

private:
    int code_;
    std::string url_;
};

/// An HTTP client over libcurl. Requests may be made from several threads at once; all of a
/// session's requests share one connection, DNS and TLS-session cache. Only http and https
/// are spoken, on redirects too.
///
/// Redirects are followed by the session itself, so that credentials stay where they were
/// meant to go: an "Authorization" header is sent on a redirected request only when the new
/// address has the same scheme, host and port as the original one.
class URLSession {
public:
    explicit URLSession(URLSessionConfiguration configuration = {});
    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    [[nodiscard]] const URLSessionConfiguration& configuration() const noexcept { return configuration_; }

    /// The body of the answer and the answer, whatever its status. Throws `URLError`.
    [[nodiscard]] std::pair<std::string, HTTPURLResponse> data(const URLRequest& request);

    /// Streams the body into a new temporary file inside `directory` (which must exist) and
    /// returns its path with the answer, whatever its status; the caller owns the file. When
    /// the transfer fails the file is removed before `URLError` is thrown.
    [[nodiscard]] std::pair<std::filesystem::path, HTTPURLResponse> download(const URLRequest& request,
                                                                             const std::filesystem::path& directory);

private:
    struct Shared;
    URLSessionConfiguration configuration_;
    std::unique_ptr<Shared> shared_;
};

}  // namespace Tervane
