#include <Tervane/Platform/ModelEngine.hpp>

#include <Tervane/Shared/AppLogger.hpp>

#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>

namespace Tervane {

namespace {

constexpr const char* waitPolicyVariable = "OMP_WAIT_POLICY";
constexpr const char* passivePolicy = "PASSIVE";
constexpr const char* openMPLibrary = "libgomp.so.1";
constexpr const char* engineEntryPoint = "TervaneTorchScriptEngine";

/// Any object of this library: its address tells `dladdr` where the library lives.
const int libraryAnchor = 0;

/// Passive waiting must be chosen before OpenMP starts. Programs built with Tervane start with
/// it (see ProcessStartup/); in another host OpenMP may start with libtorch, here, or have
/// started already with the process, and then its threads keep whatever policy they began with.
void chooseWaitPolicy(const AppLogger& logger) {
    const char* chosen = std::getenv(waitPolicyVariable);
    const std::string fromEnvironment = chosen == nullptr ? "" : chosen;

    bool openMPLoaded = false;
    if (void* handle = ::dlopen(openMPLibrary, RTLD_LAZY | RTLD_NOLOAD)) {
        openMPLoaded = true;
        ::dlclose(handle);
    }
    if (!fromEnvironment.empty()) {
        logger.info("OpenMP wait policy: " + fromEnvironment + " (from OMP_WAIT_POLICY)");
        return;
    }
    if (openMPLoaded) {
        logger.notice("OpenMP started without OMP_WAIT_POLICY, so its threads spin between parallel regions; "
                      "set OMP_WAIT_POLICY=PASSIVE before starting the program");
        return;
    }
    ::setenv(waitPolicyVariable, passivePolicy, 0);
    logger.info(std::string("OpenMP wait policy: ") + passivePolicy + " (chosen by the model runtime)");
}

std::string pluginBesideLibrary() {
    Dl_info info{};
    if (::dladdr(&libraryAnchor, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    const std::string library = info.dli_fname;
    const std::size_t slash = library.rfind('/');
    return slash == std::string::npos ? std::string() : library.substr(0, slash + 1) + TERVANE_TORCH_RUNTIME_FILE;
}

std::string lastLoaderError() {
    const char* text = ::dlerror();
    return text == nullptr ? "unknown error" : text;
}

ModelEngine& loadTorchScriptEngine() {
    const AppLogger logger("ModelRuntime");
    chooseWaitPolicy(logger);

    std::string failure;
    void* plugin = nullptr;
    if (const std::string beside = pluginBesideLibrary(); !beside.empty()) {
        plugin = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (plugin == nullptr) {
            failure = lastLoaderError();
        }
    }
    if (plugin == nullptr) {
        plugin = ::dlopen(TERVANE_TORCH_RUNTIME_FILE, RTLD_NOW | RTLD_LOCAL);
        if (plugin == nullptr) {
            failure += (failure.empty() ? "" : "; ") + lastLoaderError();
            throw ModelRuntimeError(ModelRuntimeError::Kind::runtimeUnavailable, "",
                                    "the TorchScript model runtime cannot be loaded: " + failure);
        }
    }

    // The plug-in stays loaded for the life of the process: libtorch cannot be unloaded.
    using EntryPoint = ModelEngine* (*)();
    void* symbol = ::dlsym(plugin, engineEntryPoint);
    if (symbol == nullptr) {
        throw ModelRuntimeError(ModelRuntimeError::Kind::runtimeUnavailable, "",
                                "the TorchScript model runtime is incomplete: " + lastLoaderError());
    }
    EntryPoint entryPoint = nullptr;
    std::memcpy(&entryPoint, &symbol, sizeof entryPoint);
    ModelEngine* engine = entryPoint();
    if (engine == nullptr) {
        throw ModelRuntimeError(ModelRuntimeError::Kind::runtimeUnavailable, "",
                                "the TorchScript model runtime failed to start");
    }
    return *engine;
}

}  // namespace

ModelEngine& torchScriptEngine() {
    // Initialised once even when several threads load their first model at the same time; a
    // failure leaves it uninitialised, so a later call tries again.
    static ModelEngine& engine = loadTorchScriptEngine();
    return engine;
}

}  // namespace Tervane
