#include <Tervane/Shared/AppLogger.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include <sys/syslog.h>
#include <unistd.h>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace Tervane {

namespace {

constexpr const char* levelNames[] = {"debug", "info", "notice", "warning", "error", "fault"};
constexpr const char* journalSocket = "/run/systemd/journal/socket";

int journalPriority(LogType type) {
    switch (type) {
    case LogType::debug: return LOG_DEBUG;
    case LogType::info: return LOG_INFO;
    case LogType::defaultType: return LOG_NOTICE;
    case LogType::error: return LOG_ERR;
    case LogType::fault: return LOG_CRIT;
    }
    return LOG_NOTICE;
}

std::string_view environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string_view() : std::string_view(value);
}

bool environmentFlag(const char* name) {
    const std::string_view value = environmentValue(name);
    return !value.empty() && value != "0";
}

class DefaultLogSink final : public LogSink {
public:
    DefaultLogSink()
        : journalAvailable_(::access(journalSocket, W_OK) == 0),
          consoleEcho_(environmentFlag("TERVANE_LOG_CONSOLE")),
          keepDebug_(environmentValue("TERVANE_LOG_LEVEL") == "debug") {}

    bool isEnabled(LogType type) const override {
        if (type == LogType::debug && !keepDebug_) {
            return false;
        }
        return journalAvailable_ || consoleEcho_;
    }

    void write(const LogEntry& entry) override {
        if (!isEnabled(entry.type)) {
            return;
        }
        if (journalAvailable_) {
            // A failed send (journal gone away) is dropped: logging never fails its caller.
            sd_journal_send("MESSAGE=%.*s", static_cast<int>(entry.message.size()), entry.message.data(),
                            "PRIORITY=%d", journalPriority(entry.type),
                            "TERVANE_LEVEL=%s", levelNames[entry.level],
                            "TERVANE_SUBSYSTEM=%.*s", static_cast<int>(entry.subsystem.size()), entry.subsystem.data(),
                            "TERVANE_CATEGORY=%.*s", static_cast<int>(entry.category.size()), entry.category.data(),
                            "SYSLOG_IDENTIFIER=%.*s", static_cast<int>(entry.subsystem.size()), entry.subsystem.data(),
                            nullptr);
        }
        if (consoleEcho_) {
            LogConsole::shared().write(static_cast<AppLogger::Level>(entry.level), entry.category, entry.message);
        }
    }

private:
    bool journalAvailable_;
    bool consoleEcho_;
    bool keepDebug_;
};

// The logger's process-wide state is never destroyed: threads that outlive `main` (a
// pre-warm still running when the tool exits) may still log while static objects go away.
std::atomic<std::shared_ptr<LogSink>>& sinkSlot() {
    static auto* slot = new std::atomic<std::shared_ptr<LogSink>>{makeDefaultLogSink()};
    return *slot;
}

std::mutex& subsystemMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::string& subsystemValue() {
    static auto* value = new std::string("com.tervane.Tervane");
    return *value;
}

}  // namespace

std::shared_ptr<LogSink> makeDefaultLogSink() { return std::make_shared<DefaultLogSink>(); }

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink) {
    if (!sink) {
        sink = makeDefaultLogSink();
    }
    return sinkSlot().exchange(std::move(sink));
}

std::shared_ptr<LogSink> currentLogSink() { return sinkSlot().load(); }

std::optional<AppLogger::Level> AppLogger::level(int rawValue) noexcept {
    if (rawValue < 0 || rawValue > 5) {
        return std::nullopt;
    }
    return static_cast<Level>(rawValue);
}

LogType AppLogger::logType(Level level) noexcept {
    switch (level) {
    case Level::debug: return LogType::debug;
    case Level::info: return LogType::info;
    case Level::notice: return LogType::defaultType;
    case Level::warning:
    case Level::error: return LogType::error;
    case Level::fault: return LogType::fault;
    }
    return LogType::defaultType;
}

std::string AppLogger::defaultSubsystem() {
    const std::lock_guard lock(subsystemMutex());
    return subsystemValue();
}

void AppLogger::setDefaultSubsystem(std::string subsystem) {
    const std::lock_guard lock(subsystemMutex());
    subsystemValue() = std::move(subsystem);
}

AppLogger::AppLogger(std::string category)
    : subsystem_(defaultSubsystem()), category_(std::move(category)) {}

AppLogger::AppLogger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void AppLogger::log(Level level, std::string_view message) const {
    const std::shared_ptr<LogSink> sink = currentLogSink();
    const LogType type = logType(level);
    if (!sink || !sink->isEnabled(type)) {
        return;
    }
    sink->write(LogEntry{type, static_cast<int>(level), subsystem_, category_, message});
}

LogConsole& LogConsole::shared() {
    static auto* console = new LogConsole;
    return *console;
}

void LogConsole::write(AppLogger::Level level, std::string_view category, std::string_view message) {
    static auto* mutex = new std::mutex;  // never destroyed, like the sink slot
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    const std::lock_guard lock(*mutex);
    std::fprintf(stderr, "%s.%03lld [%s] [%.*s] %.*s\n", stamp, static_cast<long long>(milliseconds),
                 levelNames[static_cast<int>(level)], static_cast<int>(category.size()), category.data(),
                 static_cast<int>(message.size()), message.data());
}

}  // namespace Tervane
