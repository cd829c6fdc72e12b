#pragma once

#include <Tervane/Shared/DownloadUtils.hpp>
#include <Tervane/Shared/ModelRegistry.hpp>

#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ScopedEnvironment.hpp"

#include <optional>

namespace Tervane::Testing {

/// Points the library's downloads at a loopback hub for its lifetime: no hub address, token or
/// proxy from the environment and a fresh shared session; all of it is put back afterwards.
class ScopedHubConnection {
public:
    explicit ScopedHubConnection(const LoopbackHTTPServer& hub) {
        for (const char* name : {"REGISTRY_URL", "MODEL_REGISTRY_URL", "https_proxy", "http_proxy", "HF_TOKEN",
                                 "HUGGING_FACE_HUB_TOKEN", "HUGGINGFACEHUB_API_TOKEN"}) {
            environment_.unset(name);
        }
        ModelRegistry::setBaseURL(hub.baseURL());
        DownloadUtils::resetSharedSession();
    }
    ~ScopedHubConnection() {
        DownloadUtils::resetSharedSession();
        ModelRegistry::setBaseURL(std::nullopt);
    }
    ScopedHubConnection(const ScopedHubConnection&) = delete;
    ScopedHubConnection& operator=(const ScopedHubConnection&) = delete;

    /// The variables the connection cleared; tests may set more (a token, a proxy) through it.
    [[nodiscard]] ScopedEnvironment& environment() noexcept { return environment_; }

private:
    ScopedEnvironment environment_;
};

}  // namespace Tervane::Testing
