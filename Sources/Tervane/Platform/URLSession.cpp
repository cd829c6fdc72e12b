#include <Tervane/Platform/URLSession.hpp>

#include <Tervane/Shared/TextCase.hpp>

#include <curl/curl.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace Tervane {

namespace {

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw std::runtime_error("libcurl could not be initialised");
        }
    });
}

struct CurlURLDeleter {
    void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};
struct CurlEasyDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

std::optional<std::string> urlPart(CURLU* handle, CURLUPart part) {
    char* value = nullptr;
    if (curl_url_get(handle, part, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
    std::string text(value);
    curl_free(value);
    return text;
}

bool isAuthorization(const std::pair<std::string, std::string>& header) {
    return asciiLowercased(header.first) == "authorization";
}

template <typename T>
const T* proxyValue(const ProxyDictionary& dictionary, const char* key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : std::get_if<T>(&found->second);
}

/// The proxy option for a request to `scheme`: "http://host:port", or "" for a direct
/// connection (which also stops libcurl from reading proxies from the environment).
std::string proxyFor(const URLSessionConfiguration& configuration, const std::string& scheme) {
    if (!configuration.connectionProxyDictionary) return {};
    const auto& dictionary = *configuration.connectionProxyDictionary;
    const bool https = scheme == "https";
    const auto* enabled = proxyValue<bool>(dictionary, https ? ProxyKeys::httpsEnable : ProxyKeys::httpEnable);
    const auto* host = proxyValue<std::string>(dictionary, https ? ProxyKeys::httpsProxy : ProxyKeys::httpProxy);
    const auto* port = proxyValue<int>(dictionary, https ? ProxyKeys::httpsPort : ProxyKeys::httpPort);
    if (enabled == nullptr || !*enabled || host == nullptr || port == nullptr) return {};
    return "http://" + *host + ":" + std::to_string(*port);
}

/// Where a transfer's body goes. `restart` drops what an earlier answer (a redirect) wrote.
class BodySink {
public:
    virtual ~BodySink() = default;
    virtual bool write(const char* bytes, std::size_t count) = 0;
    virtual void restart() = 0;
};

class StringSink final : public BodySink {
public:
    bool write(const char* bytes, std::size_t count) override {
        body.append(bytes, count);
        return true;
    }
    void restart() override { body.clear(); }
    std::string body;
};

/// A temporary file that is removed unless it is released.
class TemporaryFileSink final : public BodySink {
public:
    explicit TemporaryFileSink(const std::filesystem::path& directory) {
        std::string pattern = (directory / ".tervane-download-XXXXXX").string();
        const int descriptor = ::mkstemp(pattern.data());
        if (descriptor < 0) throw FileError("create a temporary file in", directory, errno);
        path_ = pattern;
        // mkstemp makes the file private; what lands in the cache is readable like any download.
        (void)::fchmod(descriptor, 0644);
        file_ = ::fdopen(descriptor, "wb");
        if (file_ == nullptr) {
            const int failure = errno;
            ::close(descriptor);
            discard();
            throw FileError("open", path_, failure);
        }
    }
    ~TemporaryFileSink() override {
        if (file_ != nullptr) std::fclose(file_);
        if (!released_) discard();
    }
    TemporaryFileSink(const TemporaryFileSink&) = delete;
    TemporaryFileSink& operator=(const TemporaryFileSink&) = delete;

    bool write(const char* bytes, std::size_t count) override {
        if (std::fwrite(bytes, 1, count, file_) == count) return true;
        writeError_ = errno;
        return false;
    }
    void restart() override {
        std::rewind(file_);
        if (::ftruncate(::fileno(file_), 0) != 0) writeError_ = errno;
    }
    [[nodiscard]] int writeError() const noexcept { return writeError_; }

    /// Flushes the file to disk and hands it to the caller.
    std::filesystem::path finish() {
        if (writeError_ != 0) throw FileError("write", path_, writeError_);
        if (std::fflush(file_) != 0 || ::fsync(::fileno(file_)) != 0) throw FileError("write", path_, errno);
        const int closed = std::fclose(file_);
        file_ = nullptr;
        if (closed != 0) throw FileError("write", path_, errno);
        released_ = true;
        return path_;
    }
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

private:
    void discard() noexcept {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    int writeError_ = 0;
    bool released_ = false;
};

/// State the transfer callbacks share with one request.
struct Transfer {
    BodySink* sink = nullptr;
    std::map<std::string, std::string> headers;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t lastBytes = 0;
    std::chrono::duration<double> idleTimeout{0};
    bool timedOut = false;
    bool sinkFailed = false;

    void touch() { lastActivity = std::chrono::steady_clock::now(); }
};

std::size_t writeBody(char* bytes, std::size_t size, std::size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    transfer->touch();
    if (!transfer->sink->write(bytes, size * count)) {
        transfer->sinkFailed = true;
        return 0;
    }
    return size * count;
}

std::size_t readHeader(char* bytes, std::size_t size, std::size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    transfer->touch();
    const std::string line(bytes, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        transfer->headers.clear();  // a new answer: interim or proxy answers came before it
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
        transfer->headers[asciiLowercased(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
    }
    return size * count;
}

int watchProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* transfer = static_cast<Transfer*>(context);
    if (downloaded + uploaded != transfer->lastBytes) {
        transfer->lastBytes = downloaded + uploaded;
        transfer->touch();
        return 0;
    }
    if (transfer->idleTimeout.count() > 0 &&
        std::chrono::steady_clock::now() - transfer->lastActivity > transfer->idleTimeout) {
        transfer->timedOut = true;
        return 1;
    }
    return 0;
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string describeTimeout(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "timed out after %.1f s without data", seconds);
    return text;
}

}  // namespace

std::optional<URLComponents> URLComponents::parse(const std::string& text) {
    if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
    initializeCurlOnce();
    const std::unique_ptr<CURLU, CurlURLDeleter> handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    auto scheme = urlPart(handle.get(), CURLUPART_SCHEME);
    auto host = urlPart(handle.get(), CURLUPART_HOST);
    if (!scheme || !host || host->empty()) return std::nullopt;
    URLComponents components{asciiLowercased(*scheme), *host, std::nullopt};
    if (const auto port = urlPart(handle.get(), CURLUPART_PORT)) {
        try {
            components.port = std::stoi(*port);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return components;
}

std::optional<int> URLComponents::effectivePort() const {
    if (port) return port;
    if (scheme == "http") return 80;
    if (scheme == "https") return 443;
    return std::nullopt;
}

bool URLComponents::sameOrigin(const URLComponents& other) const {
    return scheme == other.scheme && asciiLowercased(host) == asciiLowercased(other.host) &&
           effectivePort() == other.effectivePort();
}

/// The libcurl share handle behind a session, with the locks libcurl asks for.
struct URLSession::Shared {
    CURLSH* handle = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

    Shared() {
        initializeCurlOnce();
        handle = curl_share_init();
        if (handle == nullptr) throw std::runtime_error("libcurl could not make a share handle");
        curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &Shared::lock);
        curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &Shared::unlock);
        curl_share_setopt(handle, CURLSHOPT_USERDATA, this);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    }
    ~Shared() { curl_share_cleanup(handle); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* context) {
        static_cast<Shared*>(context)->locks.at(static_cast<std::size_t>(data)).lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* context) {
        static_cast<Shared*>(context)->locks.at(static_cast<std::size_t>(data)).unlock();
    }
};

namespace {

/// Runs `request`, following redirects, with the body going to `sink`.
HTTPURLResponse perform(CURLSH* share, const URLSessionConfiguration& configuration, const URLRequest& request,
                        BodySink& sink) {
    const auto origin = URLComponents::parse(request.url);
    if (!origin) throw URLError(CURLE_URL_MALFORMAT, request.url, "the address is not valid");

    std::string url = request.url;
    auto headers = request.headers;
    for (int hop = 0;; ++hop) {
        const auto target = URLComponents::parse(url);
        if (!target) throw URLError(CURLE_URL_MALFORMAT, url, "the address is not valid");
        if (!target->sameOrigin(*origin)) {
            headers.erase(std::remove_if(headers.begin(), headers.end(), isAuthorization), headers.end());
        }

        const CurlEasy easy(curl_easy_init());
        if (!easy) throw URLError(CURLE_FAILED_INIT, url, "libcurl could not make a request");
        CURL* handle = easy.get();
        CurlList headerList;
        for (const auto& [name, value] : headers) {
            const std::string line = name + ": " + value;
            curl_slist* extended = curl_slist_append(headerList.get(), line.c_str());
            if (extended == nullptr) throw std::bad_alloc();
            (void)headerList.release();
            headerList.reset(extended);
        }

        Transfer transfer;
        transfer.sink = &sink;
        transfer.idleTimeout = std::chrono::duration<double>(request.timeoutInterval);
        sink.restart();

        char errorText[CURL_ERROR_SIZE] = {};
        const std::string proxy = proxyFor(configuration, target->scheme);
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_SHARE, share);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &writeBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &readHeader);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &watchProgress);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
        if (request.timeoutInterval > 0) {
            curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeoutInterval * 1000));
        }

        const CURLcode result = curl_easy_perform(handle);
        if (transfer.timedOut) throw URLError(CURLE_OPERATION_TIMEDOUT, url, describeTimeout(request.timeoutInterval));
        if (result != CURLE_OK) {
            if (transfer.sinkFailed) {
                if (auto* file = dynamic_cast<TemporaryFileSink*>(&sink)) {
                    throw FileError("write", file->path(), file->writeError());
                }
            }
            throw URLError(result, url, errorText[0] != '\0' ? errorText : curl_easy_strerror(result));
        }

        HTTPURLResponse response;
        response.url = url;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.statusCode);
        response.headerFields = std::move(transfer.headers);

        char* location = nullptr;
        curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location);
        if (!isRedirect(response.statusCode) || location == nullptr || hop >= configuration.maximumRedirects) {
            return response;
        }
        url = location;
    }
}

}  // namespace

URLSession::URLSession(URLSessionConfiguration configuration)
    : configuration_(std::move(configuration)), shared_(std::make_unique<Shared>()) {}

URLSession::~URLSession() = default;

std::pair<std::string, HTTPURLResponse> URLSession::data(const URLRequest& request) {
    StringSink sink;
    auto response = perform(shared_->handle, configuration_, request, sink);
    return {std::move(sink.body), std::move(response)};
}

std::pair<std::filesystem::path, HTTPURLResponse> URLSession::download(const URLRequest& request,
                                                                       const std::filesystem::path& directory) {
    TemporaryFileSink sink(directory);
    auto response = perform(shared_->handle, configuration_, request, sink);
    return {sink.finish(), std::move(response)};
}

}  // namespace Tervane
