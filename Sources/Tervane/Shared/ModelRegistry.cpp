#include <Tervane/Shared/ModelRegistry.hpp>

#include <Tervane/Shared/AppLogger.hpp>

#include <cstdlib>
#include <mutex>

namespace Tervane {

namespace {

std::mutex& baseURLMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<std::string>& programBaseURL() {
    static std::optional<std::string> url;
    return url;
}

const AppLogger& registryLogger() {
    static const AppLogger logger("ModelRegistry");
    return logger;
}

std::string validated(std::string text) {
    if (!URLComponents::parse(text)) throw ModelRegistry::Error::invalidURL(std::move(text));
    return text;
}

/// Adds the proxy named by `value` under the keys of `type` ("HTTPS" or "HTTP").
void mergeProxy(ProxyDictionary& settings, const std::string& type, const std::string& value) {
    const auto components = URLComponents::parse(value);
    if (!components || !components->port) {
        registryLogger().warning("Invalid " + type + " proxy URL: " + value);
        return;
    }
    const bool https = type == "HTTPS";
    if (!https && type != "HTTP") return;
    settings[https ? ProxyKeys::httpsEnable : ProxyKeys::httpEnable] = true;
    settings[https ? ProxyKeys::httpsProxy : ProxyKeys::httpProxy] = components->host;
    settings[https ? ProxyKeys::httpsPort : ProxyKeys::httpPort] = *components->port;
    registryLogger().info("Configured " + type + " proxy: " + components->host + ":" +
                          std::to_string(*components->port));
}

}  // namespace

std::string ModelRegistry::baseURL() {
    {
        const std::lock_guard lock(baseURLMutex());
        if (programBaseURL()) return *programBaseURL();
    }
    for (const char* name : {"REGISTRY_URL", "MODEL_REGISTRY_URL"}) {
        if (const char* value = std::getenv(name)) return value;
    }
    return defaultBaseURL;
}

void ModelRegistry::setBaseURL(std::optional<std::string> url) {
    const std::lock_guard lock(baseURLMutex());
    programBaseURL() = std::move(url);
}

std::string ModelRegistry::apiModels(const std::string& repository, const std::string& path) {
    return validated(baseURL() + "/api/models/" + repository + "/" + path);
}

std::string ModelRegistry::apiDatasets(const std::string& repository, const std::string& path) {
    return validated(baseURL() + "/api/datasets/" + repository + "/" + path);
}

std::string ModelRegistry::resolveModel(const std::string& repository, const std::string& path) {
    return validated(baseURL() + "/" + repository + "/resolve/main/" + path);
}

std::string ModelRegistry::resolveDataset(const std::string& repository, const std::string& path) {
    return validated(baseURL() + "/datasets/" + repository + "/resolve/main/" + path);
}

std::string ModelRegistry::resolveDatasetBase(const std::string& repository) {
    return validated(baseURL() + "/datasets/" + repository + "/resolve/main");
}

std::optional<ProxyDictionary> ModelRegistry::configureProxySettings() {
    ProxyDictionary settings;
    if (const char* value = std::getenv("https_proxy")) mergeProxy(settings, "HTTPS", value);
    if (const char* value = std::getenv("http_proxy")) mergeProxy(settings, "HTTP", value);
    if (settings.empty()) return std::nullopt;
    return settings;
}

}  // namespace Tervane
