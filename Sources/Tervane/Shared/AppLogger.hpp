#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Tervane {

/// The system log's message types, onto which the six logger levels map.
enum class LogType { debug, info, defaultType, error, fault };

/// One log entry as a sink receives it. The views are valid for the duration of `write`.
struct LogEntry {
    LogType type;
    int level;  // the `AppLogger::Level` raw value, 0 to 5
    std::string_view subsystem;
    std::string_view category;
    std::string_view message;
};

/// Where log entries go. One sink serves the whole process; it must be safe to call from any
/// thread. `isEnabled` lets a logger skip work for a type nobody keeps.
class LogSink {
public:
    virtual ~LogSink() = default;
    [[nodiscard]] virtual bool isEnabled(LogType type) const = 0;
    virtual void write(const LogEntry& entry) = 0;
};

/// Replaces the process-wide sink (null restores the default). Returns the previous one.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);
/// The current process-wide sink.
[[nodiscard]] std::shared_ptr<LogSink> currentLogSink();

/// The sink a process starts with: entries go to the systemd journal, with the level,
/// subsystem and category as fields, and are dropped silently where no journal runs. Debug
/// entries are kept only when TERVANE_LOG_LEVEL is "debug". When TERVANE_LOG_CONSOLE is set
/// (to anything but "" or "0"), each entry is also echoed on standard error through
/// `LogConsole`; that is for debugging and off by default.
[[nodiscard]] std::shared_ptr<LogSink> makeDefaultLogSink();

/// The library's logger: a small value that tags each message with a subsystem and a category
/// and hands it to the process-wide sink. Nothing reaches standard output.
class AppLogger {
public:
    enum class Level : int { debug = 0, info = 1, notice = 2, warning = 3, error = 4, fault = 5 };

    /// The level with this raw value, or none outside 0 to 5.
    [[nodiscard]] static std::optional<Level> level(int rawValue) noexcept;
    /// The system log type a level is written with: warning and error share `error`, notice
    /// is the default type.
    [[nodiscard]] static LogType logType(Level level) noexcept;

    /// The subsystem new loggers take. Loggers keep the subsystem they were made with.
    [[nodiscard]] static std::string defaultSubsystem();
    static void setDefaultSubsystem(std::string subsystem);

    explicit AppLogger(std::string category);
    AppLogger(std::string subsystem, std::string category);

    [[nodiscard]] const std::string& subsystem() const noexcept { return subsystem_; }
    [[nodiscard]] const std::string& category() const noexcept { return category_; }

    void log(Level level, std::string_view message) const;
    void debug(std::string_view message) const { log(Level::debug, message); }
    void info(std::string_view message) const { log(Level::info, message); }
    void notice(std::string_view message) const { log(Level::notice, message); }
    void warning(std::string_view message) const { log(Level::warning, message); }
    void error(std::string_view message) const { log(Level::error, message); }
    void fault(std::string_view message) const { log(Level::fault, message); }

private:
    std::string subsystem_;
    std::string category_;
};

/// Writes log entries as time-stamped lines on standard error, one at a time. Only the
/// console echo of the default sink uses it.
class LogConsole {
public:
    static LogConsole& shared();
    void write(AppLogger::Level level, std::string_view category, std::string_view message);

private:
    LogConsole() = default;
};

}  // namespace Tervane
