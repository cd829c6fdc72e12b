#include <Tervane/Shared/SystemInfo.hpp>

#include <Tervane/Shared/AppLogger.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string_view>

#include <sys/utsname.h>
#include <unistd.h>

namespace Tervane {

namespace {

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\"");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\"");
    return std::string(text.substr(first, last - first + 1));
}

/// The value of the first "key: value" (or "key=value") line whose key is `key`.
std::optional<std::string> readKeyedLine(const char* path, std::string_view key, char separator) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const auto split = line.find(separator);
        if (split == std::string::npos || trim(std::string_view(line).substr(0, split)) != key) {
            continue;
        }
        std::string value = trim(std::string_view(line).substr(split + 1));
        if (!value.empty()) {
            return value;
        }
    }
    return std::nullopt;
}

std::string chipName() {
    for (const char* key : {"model name", "Model", "Hardware"}) {
        if (auto value = readKeyedLine("/proc/cpuinfo", key, ':')) {
            return *value;
        }
    }
    return "UnknownChip";
}

std::optional<std::uint64_t> statusKilobytes(std::string_view key) {
    const auto value = readKeyedLine("/proc/self/status", key, ':');
    if (!value) {
        return std::nullopt;
    }
    std::uint64_t kilobytes = 0;
    if (std::sscanf(value->c_str(), "%lu", &kilobytes) != 1) {
        return std::nullopt;
    }
    return kilobytes * 1024;
}

}  // namespace

std::string SystemInfo::formatMemory(std::uint64_t bytes) {
    static constexpr const char* units[] = {"KB", "MB", "GB", "TB", "PB"};
    if (bytes < 1024) {
        return std::to_string(bytes) + " bytes";
    }
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    const double tenths = std::round(value * 10.0) / 10.0;
    if (tenths == std::floor(tenths)) {
        std::snprintf(text, sizeof text, "%.0f %s", tenths, units[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", tenths, units[unit]);
    }
    return text;
}

std::string SystemInfo::summary() {
    utsname host{};
    const bool haveHost = ::uname(&host) == 0;
    std::string text = "Linux ";
    text += haveHost ? host.release : "unknown";
    if (auto distribution = readKeyedLine("/etc/os-release", "PRETTY_NAME", '=')) {
        text += " (" + *distribution + ")";
    }
    text += ", arch=";
    text += haveHost ? host.machine : "unknown";
    text += ", chip=" + chipName();
    text += ", cores=" + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + "/" +
            std::to_string(::sysconf(_SC_NPROCESSORS_CONF));
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    const std::uint64_t memory = pages > 0 && pageSize > 0
                                     ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
                                     : 0;
    text += ", mem=" + formatMemory(memory);
    text += ", rosetta=false";
    return text;
}

std::optional<std::uint64_t> SystemInfo::currentResidentMemoryBytes() { return statusKilobytes("VmRSS"); }

std::optional<std::uint64_t> SystemInfo::peakResidentMemoryBytes() { return statusKilobytes("VmHWM"); }

void SystemInfo::logOnce(const AppLogger& logger) {
    if (SystemInfoReporter::shared().markLogged()) {
        logger.info("Host environment: " + summary());
    }
}

SystemInfoReporter& SystemInfoReporter::shared() {
    static SystemInfoReporter reporter;
    return reporter;
}

bool SystemInfoReporter::markLogged() {
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    if (didLog_) {
        return false;
    }
    didLog_ = true;
    return true;
}

}  // namespace Tervane
