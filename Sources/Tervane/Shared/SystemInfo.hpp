#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Tervane {

class AppLogger;

/// A one-line description of the host and the process's memory, for load-time log messages.
struct SystemInfo {
    /// Fixed by the build target: Tervane runs on Linux, so both are false.
    [[nodiscard]] static constexpr bool isAppleSilicon() noexcept { return false; }
    [[nodiscard]] static constexpr bool isIntelMac() noexcept { return false; }

    /// "Linux <kernel release> (<distribution>), arch=<machine>, chip=<cpu model>,
    /// cores=<online>/<configured>, mem=<physical memory>, rosetta=false".
    [[nodiscard]] static std::string summary();

    /// Resident and peak resident size of this process, absent when the query fails.
    [[nodiscard]] static std::optional<std::uint64_t> currentResidentMemoryBytes();
    [[nodiscard]] static std::optional<std::uint64_t> peakResidentMemoryBytes();

    /// Logs "Host environment: " + `summary()` at info through `logger`, once per process.
    static void logOnce(const AppLogger& logger);

    /// A byte count the way memory sizes are usually shown: binary multiples, "24 GB",
    /// "1.5 KB", "512 bytes".
    [[nodiscard]] static std::string formatMemory(std::uint64_t bytes);
};

/// Remembers whether the host line has been logged; one per process.
class SystemInfoReporter {
public:
    static SystemInfoReporter& shared();

    /// Sets `didLog` and returns true the first time it is called; false afterwards.
    bool markLogged();

private:
    SystemInfoReporter() = default;
    bool didLog_ = false;
};

}  // namespace Tervane
