#pragma once

#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/URLSession.hpp>

#include <optional>
#include <string>

namespace Tervane {

/// Addresses on the model hub and the proxy settings of the download session.
class ModelRegistry {
public:
    class Error final : public Tervane::Error {
    public:
        enum class Kind { invalidURL };

        static Error invalidURL(std::string text) { return Error(std::move(text)); }

        [[nodiscard]] Kind kind() const noexcept { return Kind::invalidURL; }
        /// The text that is not a valid address.
        [[nodiscard]] const std::string& text() const noexcept { return text_; }

    private:
        explicit Error(std::string text) : Tervane::Error("Invalid URL construction: " + text), text_(std::move(text)) {}
        std::string text_;
    };

    /// The hub used when neither the program nor the environment names one.
    static constexpr const char* defaultBaseURL = "https://huggingface.co";

    /// The hub's base address: the one set by the program, else the environment's
    /// "REGISTRY_URL", else "MODEL_REGISTRY_URL", else `defaultBaseURL`.
    [[nodiscard]] static std::string baseURL();
    /// Sets the program's base address; none goes back to the environment and the default.
    static void setBaseURL(std::optional<std::string> url);

    /// base + "/api/models/" + repository + "/" + path
    [[nodiscard]] static std::string apiModels(const std::string& repository, const std::string& path);
    /// base + "/api/datasets/" + repository + "/" + path
    [[nodiscard]] static std::string apiDatasets(const std::string& repository, const std::string& path);
    /// base + "/" + repository + "/resolve/main/" + path
    [[nodiscard]] static std::string resolveModel(const std::string& repository, const std::string& path);
    /// base + "/datasets/" + repository + "/resolve/main/" + path
    [[nodiscard]] static std::string resolveDataset(const std::string& repository, const std::string& path);
    /// base + "/datasets/" + repository + "/resolve/main"
    [[nodiscard]] static std::string resolveDatasetBase(const std::string& repository);

    /// Proxies from the environment's "https_proxy" and "http_proxy" (each an address with a
    /// host and a port), in the keys of `ProxyKeys`; none when neither gives one. A value that
    /// does not parse is logged and left out.
    [[nodiscard]] static std::optional<ProxyDictionary> configureProxySettings();
};

}  // namespace Tervane
