#include <Tervane/Shared/DownloadUtils.hpp>

#include <Tervane/Shared/AppLogger.hpp>
#include <Tervane/Shared/ModelRegistry.hpp>
#include <Tervane/Shared/NumberText.hpp>
#include <Tervane/Shared/SystemInfo.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

namespace Tervane::DownloadUtils {

namespace {

namespace fs = std::filesystem;

const AppLogger& logger() {
    static const AppLogger instance("DownloadUtils");
    return instance;
}

std::string describe(const std::exception_ptr& failure) {
    if (!failure) return "unknown error";
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

bool isRateLimit(long status) { return status == 429 || status == 503; }
bool isSuccess(long status) { return status >= 200 && status <= 299; }

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

DomainError httpError(long status) { return DomainError("HTTP", status, "HTTP error " + std::to_string(status)); }

// ---- the shared session and the retry clock ----

std::mutex& sessionMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<URLSession>& sessionSlot() {
    static std::shared_ptr<URLSession> session;
    return session;
}

std::mutex& sleeperMutex() {
    static std::mutex mutex;
    return mutex;
}

Sleeper& sleeperSlot() {
    static Sleeper sleeper;
    return sleeper;
}

void sleepFor(double seconds) {
    Sleeper sleeper;
    {
        const std::lock_guard lock(sleeperMutex());
        sleeper = sleeperSlot();
    }
    if (sleeper) {
        sleeper(seconds);
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

URLRequest hubRequest(const std::string& url) {
    URLRequest request{url, {}, DownloadConfig::defaultConfig().timeout};
    const auto token = accessToken();
    if (!token) return request;
    const auto target = URLComponents::parse(url);
    const auto hub = URLComponents::parse(ModelRegistry::baseURL());
    if (target && hub && target->sameOrigin(*hub)) request.headers.emplace_back("Authorization", "Bearer " + *token);
    return request;
}

// ---- listed paths ----

/// Percent-encodes everything but the characters a URL path may hold as they are.
std::string percentEncodedPath(const std::string& path) {
    static const std::string allowed = "-._~!$&'()*+,;=:@/";
    std::string encoded;
    for (const unsigned char c : path) {
        if (std::isalnum(c) != 0 || allowed.find(static_cast<char>(c)) != std::string::npos) {
            encoded += static_cast<char>(c);
        } else {
            static constexpr char hex[] = "0123456789ABCDEF";
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0x0F];
        }
    }
    return encoded;
}

/// A listing comes from the network: only plain relative paths below the repository folder
/// are acted on.
bool isPlainRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/') return false;
    if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos) return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

/// True when `folder`/`path` stays inside `folder` once links already on disk are followed.
bool resolvesInside(const fs::path& folder, const std::string& path) {
    const fs::path root = fs::weakly_canonical(folder);
    const fs::path target = fs::weakly_canonical(folder / path);
    auto rootPart = root.begin();
    auto targetPart = target.begin();
    for (; rootPart != root.end(); ++rootPart, ++targetPart) {
        if (targetPart == target.end() || *rootPart != *targetPart) return false;
    }
    return targetPart != target.end();
}

[[noreturn]] void refuseUnsafePath(const std::string& path) {
    throw HuggingFaceDownloadError::downloadFailed(
        path, std::make_exception_ptr(DomainError("DownloadUtils", 1,
                                                  "the listed path would leave the repository folder")));
}

// ---- listing ----

void listDirectory(const Repo& repo, const std::string& path, const std::vector<std::string>& patterns,
                   std::vector<std::string>& files) {
    const std::string treePath = path.empty() ? "tree/main" : "tree/main/" + path;
    const std::string url = ModelRegistry::apiModels(
        repo.remotePath(), path.empty() ? treePath : "tree/main/" + percentEncodedPath(path));
    auto [body, response] = fetchWithAuth(url);
    if (isRateLimit(response.statusCode)) {
        throw HuggingFaceDownloadError::rateLimited(response.statusCode, "Rate limited while listing files");
    }
    // An error page is not an empty folder: say what the hub answered.
    if (!isSuccess(response.statusCode)) {
        throw HuggingFaceDownloadError::downloadFailed(treePath, std::make_exception_ptr(httpError(response.statusCode)));
    }

    const auto listing = nlohmann::json::parse(body);
    if (!listing.is_array()) return;
    for (const auto& item : listing) {
        if (!item.is_object()) return;
    }

    const auto matchesPattern = [&patterns](const std::string& candidate) {
        for (const auto& pattern : patterns) {
            if (startsWith(candidate, pattern)) return true;
        }
        return false;
    };
    for (const auto& item : listing) {
        const auto pathValue = item.find("path");
        const auto typeValue = item.find("type");
        if (pathValue == item.end() || typeValue == item.end() || !pathValue->is_string() || !typeValue->is_string()) {
            continue;
        }
        const auto itemPath = pathValue->get<std::string>();
        const auto itemType = typeValue->get<std::string>();
        if (itemType != "directory" && itemType != "file") continue;
        // A listing that names a path outside the repository is not to be trusted at all.
        if (!isPlainRelativePath(itemPath)) refuseUnsafePath(itemPath);
        if (itemType == "directory") {
            bool descend = patterns.empty() || matchesPattern(itemPath);
            for (const auto& pattern : patterns) {
                descend = descend || startsWith(pattern, itemPath + "/");
            }
            // Only strictly deeper folders: a listing naming itself or a parent must not loop.
            const bool deeper = path.empty() || startsWith(itemPath, path + "/");
            if (descend && deeper) listDirectory(repo, itemPath, patterns, files);
        } else if (patterns.empty() || matchesPattern(itemPath) || endsWith(itemPath, ".json") ||
                   endsWith(itemPath, ".txt")) {
            files.push_back(itemPath);
        }
    }
}

/// Removes a temporary download unless it was moved into place.
class TemporaryDownload {
public:
    explicit TemporaryDownload(fs::path path) : path_(std::move(path)) {}
    ~TemporaryDownload() {
        std::error_code ignored;
        if (!moved_) fs::remove(path_, ignored);
    }
    TemporaryDownload(const TemporaryDownload&) = delete;
    TemporaryDownload& operator=(const TemporaryDownload&) = delete;

    void moveTo(const fs::path& destination) {
        fs::rename(path_, destination);
        moved_ = true;
    }

private:
    fs::path path_;
    bool moved_ = false;
};

void downloadFile(const Repo& repo, const fs::path& folder, const std::string& path) {
    if (!resolvesInside(folder, path)) refuseUnsafePath(path);
    const fs::path destination = folder / path;
    fs::create_directories(destination.parent_path());

    const std::string url = ModelRegistry::resolveModel(repo.remotePath(), percentEncodedPath(path));
    std::pair<fs::path, HTTPURLResponse> result;
    try {
        result = sharedSession()->download(hubRequest(url), destination.parent_path());
    } catch (const URLError&) {
        throw HuggingFaceDownloadError::downloadFailed(path, std::current_exception());
    }
    TemporaryDownload download(result.first);
    const long status = result.second.statusCode;
    if (isRateLimit(status)) {
        throw HuggingFaceDownloadError::rateLimited(status, "Rate limited while downloading " + path);
    }
    if (!isSuccess(status)) throw HuggingFaceDownloadError::downloadFailed(path, std::make_exception_ptr(httpError(status)));
    download.moveTo(destination);
}

bool allPresent(const fs::path& folder, const std::set<std::string>& names) {
    for (const auto& name : names) {
        if (!fs::exists(folder / name)) return false;
    }
    return true;
}

}  // namespace

// ---- errors ----

HuggingFaceDownloadError HuggingFaceDownloadError::rateLimited(long statusCode, std::string message) {
    HuggingFaceDownloadError error(Kind::rateLimited, "Hugging Face rate limit encountered: " + message);
    error.statusCode_ = statusCode;
    error.message_ = std::move(message);
    return error;
}

HuggingFaceDownloadError HuggingFaceDownloadError::downloadFailed(std::string path, std::exception_ptr underlying) {
    HuggingFaceDownloadError error(Kind::downloadFailed, "Failed to download " + path + ": " + describe(underlying));
    error.path_ = std::move(path);
    error.underlying_ = std::move(underlying);
    return error;
}

HuggingFaceDownloadError HuggingFaceDownloadError::modelNotFound(std::string path) {
    HuggingFaceDownloadError error(Kind::modelNotFound, "Model file not found: " + path);
    error.path_ = std::move(path);
    return error;
}

HuggingFaceDownloadError HuggingFaceDownloadError::invalidResponse() {
    return {Kind::invalidResponse, "Received an invalid response from Hugging Face."};
}

// ---- requests ----

std::shared_ptr<URLSession> sharedSession() {
    const std::lock_guard lock(sessionMutex());
    auto& session = sessionSlot();
    if (!session) session = std::make_shared<URLSession>(URLSessionConfiguration{ModelRegistry::configureProxySettings()});
    return session;
}

void resetSharedSession() {
    const std::lock_guard lock(sessionMutex());
    sessionSlot().reset();
}

std::optional<std::string> accessToken() {
    for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HUGGINGFACEHUB_API_TOKEN"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return std::string(value);
    }
    return std::nullopt;
}

std::pair<std::string, HTTPURLResponse> fetchWithAuth(const std::string& url) {
    return sharedSession()->data(hubRequest(url));
}

Sleeper setSleeper(Sleeper sleeper) {
    const std::lock_guard lock(sleeperMutex());
    std::swap(sleeperSlot(), sleeper);
    return sleeper;
}

std::pair<std::string, HTTPURLResponse> fetchHuggingFaceFile(const std::string& url, const std::string& description,
                                                             int maxAttempts, double minBackoff) {
    const int attempts = std::max(1, maxAttempts);
    for (int attempt = 1;; ++attempt) {
        try {
            auto result = fetchWithAuth(url);
            const long status = result.second.statusCode;
            if (isRateLimit(status)) throw HuggingFaceDownloadError::rateLimited(status, "HTTP " + std::to_string(status));
            if (!isSuccess(status)) throw HuggingFaceDownloadError::invalidResponse();
            return result;
        } catch (const Error& failure) {  // rate limits, bad answers and transport failures alike
            if (attempt >= attempts) throw;
            const double wait = minBackoff * std::pow(2.0, attempt - 1);
            logger().warning("Download attempt " + std::to_string(attempt) + " for " + description +
                             " failed: " + failure.description() + ". Retrying in " + NumberText::fixed(wait, 1) + "s.");
            sleepFor(wait);
        }
    }
}

// ---- repositories ----

void downloadRepo(Repo repo, const fs::path& directory, const std::optional<std::string>& variant,
                  const ProgressHandler& progressHandler) {
    logger().info("Downloading " + repo.folderName() + " from HuggingFace...");
    const fs::path folder = directory / repo.folderName();
    fs::create_directories(folder);

    const auto& required = ModelNames::getRequiredModelNames(repo, variant);
    std::vector<std::string> patterns;
    for (const auto& name : required) patterns.push_back(name + "/");

    std::vector<std::string> files;
    listDirectory(repo, "", patterns, files);
    logger().info("Found " + std::to_string(files.size()) + " files to download");

    for (std::size_t index = 0; index < files.size(); ++index) {
        const auto& path = files[index];
        if (!fs::exists(folder / path)) downloadFile(repo, folder, path);
        const std::size_t done = index + 1;
        if (done % 10 == 0 || done == files.size()) {
            logger().info("Downloaded " + std::to_string(done) + "/" + std::to_string(files.size()) + " files");
        }
        if (progressHandler) progressHandler(static_cast<double>(done) / static_cast<double>(files.size()));
    }

    for (const auto& name : required) {
        if (!fs::exists(folder / name)) throw HuggingFaceDownloadError::modelNotFound(name);
    }
    logger().info("Downloaded all required models for " + repo.folderName());
}

std::map<std::string, std::shared_ptr<MLModel>> loadModelsOnce(Repo repo, const std::vector<std::string>& modelNames,
                                                               const fs::path& directory, MLComputeUnits computeUnits,
                                                               const std::optional<std::string>& variant,
                                                               const ProgressHandler& progressHandler) {
    SystemInfo::logOnce(logger());
    fs::create_directories(directory);

    const fs::path folder = directory / repo.folderName();
    if (!allPresent(folder, ModelNames::getRequiredModelNames(repo, variant))) {
        logger().info("Models not found in cache at " + folder.string());
        downloadRepo(repo, directory, variant, progressHandler);
    } else {
        logger().info("Found " + repo.folderName() + " locally, no download needed");
    }

    const MLModelConfiguration configuration{computeUnits, true};
    std::map<std::string, std::shared_ptr<MLModel>> models;
    for (const auto& name : modelNames) {
        const fs::path path = folder / name;
        if (!fs::exists(path)) {
            throw FileSystemError(FileSystemError::Code::fileNoSuchFile, path, "Model file not found: " + name);
        }
        if (!fs::is_directory(path)) {
            throw FileSystemError(FileSystemError::Code::fileReadCorruptFile, path,
                                  "Model path is not a directory: " + name);
        }
        if (!fs::exists(path / "coremldata.bin")) {
            logger().error("Missing coremldata.bin in " + name);
            throw FileSystemError(FileSystemError::Code::fileReadCorruptFile, path,
                                  "Missing coremldata.bin in model: " + name);
        }
        const auto started = std::chrono::steady_clock::now();
        models[name] = MLModel::load(path, configuration);
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - started;
        logger().info("Compiled model " + name + " in " + NumberText::fixed(elapsed.count(), 2) + " ms :: " +
                      SystemInfo::summary());
    }
    return models;
}

std::map<std::string, std::shared_ptr<MLModel>> loadModels(Repo repo, const std::vector<std::string>& modelNames,
                                                           const fs::path& directory, MLComputeUnits computeUnits,
                                                           const std::optional<std::string>& variant) {
    try {
        return loadModelsOnce(repo, modelNames, directory, computeUnits, variant);
    } catch (const std::exception& failure) {
        logger().warning(std::string("First load failed: ") + failure.what());
        logger().info("Deleting cache and re-downloading\u2026");
        std::error_code ignored;
        fs::remove_all(directory / repo.folderName(), ignored);
    }
    return loadModelsOnce(repo, modelNames, directory, computeUnits, variant);
}

}  // namespace Tervane::DownloadUtils
