#pragma once

#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Platform/URLSession.hpp>
#include <Tervane/Shared/ModelNames.hpp>

#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Tervane::DownloadUtils {

/// Reports download progress as a fraction from 0 to 1.
using ProgressHandler = std::function<void(double fraction)>;

/// Failures of fetching from the model hub.
class HuggingFaceDownloadError final : public Error {
public:
    enum class Kind { rateLimited, downloadFailed, modelNotFound, invalidResponse };

    static HuggingFaceDownloadError rateLimited(long statusCode, std::string message);
    /// `underlying` is the failure that stopped the download; its description is quoted.
    static HuggingFaceDownloadError downloadFailed(std::string path, std::exception_ptr underlying);
    static HuggingFaceDownloadError modelNotFound(std::string path);
    static HuggingFaceDownloadError invalidResponse();

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    /// The answer's status of `rateLimited`; 0 otherwise.
    [[nodiscard]] long statusCode() const noexcept { return statusCode_; }
    /// The message of `rateLimited`; empty otherwise.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    /// The file of `downloadFailed` and `modelNotFound`; empty otherwise.
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    /// The failure inside `downloadFailed`; null otherwise.
    [[nodiscard]] const std::exception_ptr& underlying() const noexcept { return underlying_; }

private:
    HuggingFaceDownloadError(Kind kind, std::string description) : Error(std::move(description)), kind_(kind) {}

    Kind kind_;
    long statusCode_ = 0;
    std::string message_;
    std::string path_;
    std::exception_ptr underlying_;
};

struct DownloadConfig {
    /// Seconds a hub request may go without receiving anything.
    double timeout = 1800;

    [[nodiscard]] static DownloadConfig defaultConfig() { return {}; }
};

/// The process-wide session every hub request uses, made on first use with the proxies of
/// `ModelRegistry::configureProxySettings()`.
[[nodiscard]] std::shared_ptr<URLSession> sharedSession();
/// Drops the shared session, so that the next request makes a new one from the environment
/// as it is then (for programs and tests that change their proxy variables).
void resetSharedSession();

/// The hub token: the first of "HF_TOKEN", "HUGGING_FACE_HUB_TOKEN" and
/// "HUGGINGFACEHUB_API_TOKEN" that is set and not empty.
[[nodiscard]] std::optional<std::string> accessToken();

/// One GET with the default configuration's timeout, through the shared session, and with
/// "Authorization: Bearer <token>" when there is a token and the address is on the hub
/// (same scheme, host and port as `ModelRegistry::baseURL()`); redirects away from the hub
/// never carry it. The answer comes back whatever its status; transfers fail with `URLError`.
[[nodiscard]] std::pair<std::string, HTTPURLResponse> fetchWithAuth(const std::string& url);

/// `fetchWithAuth` with checks and retries: 429 and 503 are `rateLimited` ("HTTP " + status),
/// other answers outside 200-299 `invalidResponse`; a failed attempt that is not the last is
/// retried after minBackoff x 2^(attempt - 1) seconds. Returns the body and the answer.
[[nodiscard]] std::pair<std::string, HTTPURLResponse> fetchHuggingFaceFile(const std::string& url,
                                                                           const std::string& description,
                                                                           int maxAttempts = 4,
                                                                           double minBackoff = 1.0);

/// How retries wait, in seconds. Tests replace it so that back-off costs no time.
using Sleeper = std::function<void(double seconds)>;
/// Installs `sleeper` (empty restores real sleeping) and returns the previous one.
Sleeper setSleeper(Sleeper sleeper);

/// Fetches the files of `repo` that `directory`/folder name lacks: the required bundles of
/// `variant` and the repository's top-level ".json" and ".txt" files. Files land under their
/// final names only once complete; a listed path that would leave the folder is refused with
/// `downloadFailed`. Fails with `modelNotFound` when a required bundle is still missing.
/// `progressHandler` hears the fraction of listed files handled so far.
void downloadRepo(Repo repo, const std::filesystem::path& directory,
                  const std::optional<std::string>& variant = std::nullopt,
                  const ProgressHandler& progressHandler = {});

/// Makes sure `repo`'s required bundles are cached under `directory`/folder name, fetching the
/// missing files from the model hub, then loads each of `modelNames` from that folder with
/// `computeUnits`. Returns the loaded models by file name.
[[nodiscard]] std::map<std::string, std::shared_ptr<MLModel>> loadModelsOnce(
    Repo repo, const std::vector<std::string>& modelNames, const std::filesystem::path& directory,
    MLComputeUnits computeUnits, const std::optional<std::string>& variant = std::nullopt,
    const ProgressHandler& progressHandler = {});

/// `loadModelsOnce` with one recovery: after a first failure the repository's cache folder is
/// deleted and everything is fetched and loaded once more.
[[nodiscard]] std::map<std::string, std::shared_ptr<MLModel>> loadModels(
    Repo repo, const std::vector<std::string>& modelNames, const std::filesystem::path& directory,
    MLComputeUnits computeUnits, const std::optional<std::string>& variant = std::nullopt);

}  // namespace Tervane::DownloadUtils
