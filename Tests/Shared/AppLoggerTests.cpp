#include <Tervane/Shared/AppLogger.hpp>
#include <Tervane/Shared/SystemInfo.hpp>

#include "Support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace Tervane {
namespace {

using Level = AppLogger::Level;

TEST(AppLoggerTests, LevelsMapOntoTheSystemLogTypes) {
    const Testing::LogCapture log;
    const AppLogger logger("com.tervane.tests", "Levels");
    logger.debug("d");
    logger.info("i");
    logger.notice("n");
    logger.warning("w");
    logger.error("e");
    logger.fault("f");
    logger.log(Level::notice, "via log");

    const std::vector<std::pair<Level, LogType>> expected = {
        {Level::debug, LogType::debug},         {Level::info, LogType::info},
        {Level::notice, LogType::defaultType},  {Level::warning, LogType::error},
        {Level::error, LogType::error},         {Level::fault, LogType::fault},
        {Level::notice, LogType::defaultType},
    };
    const auto entries = log->entries("Levels");
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].level, expected[i].first) << i;
        EXPECT_EQ(entries[i].type, expected[i].second) << i;
        EXPECT_EQ(entries[i].subsystem, "com.tervane.tests");
    }
    EXPECT_EQ(entries.back().message, "via log");
}

TEST(AppLoggerTests, RawValuesOutsideZeroToFiveMakeNoLevel) {
    const std::pair<int, std::optional<Level>> cases[] = {
        {-1, std::nullopt}, {0, Level::debug}, {3, Level::warning}, {5, Level::fault}, {6, std::nullopt},
    };
    for (const auto& [raw, level] : cases) {
        EXPECT_EQ(AppLogger::level(raw), level) << raw;
    }
}

TEST(AppLoggerTests, TheDefaultSubsystemAffectsLaterLoggersOnly) {
    const std::string original = AppLogger::defaultSubsystem();
    EXPECT_FALSE(original.empty());
    const AppLogger before("Subsystem");
    AppLogger::setDefaultSubsystem("org.example.host");
    const AppLogger after("Subsystem");
    AppLogger::setDefaultSubsystem(original);

    EXPECT_EQ(before.subsystem(), original);
    EXPECT_EQ(after.subsystem(), "org.example.host");
    EXPECT_EQ(after.category(), "Subsystem");
}

TEST(AppLoggerTests, TheHostLineIsLoggedOncePerProcess) {
    const Testing::LogCapture log;
    const AppLogger logger("HostLine");
    SystemInfo::logOnce(logger);
    SystemInfo::logOnce(logger);
    const auto messages = log->messages("HostLine");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front(), "Host environment: " + SystemInfo::summary());
}

// The default sink never writes on the console unless asked to; with the echo switched on,
// entries reach standard error as one line each.
TEST(AppLoggerTests, TheDefaultSinkKeepsTheConsoleQuietUnlessAsked) {
    const auto writeThrough = [](const char* echo) {
        ::setenv("TERVANE_LOG_CONSOLE", echo, 1);
        const Testing::ScopedLogSink installed(makeDefaultLogSink());
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        AppLogger("Echo").error("an entry worth seeing");
        const std::string error = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        return error;
    };
    EXPECT_EQ(writeThrough("0"), "");
    EXPECT_EQ(writeThrough(""), "");
    const std::string echoed = writeThrough("1");
    ::setenv("TERVANE_LOG_CONSOLE", "0", 1);
    EXPECT_NE(echoed.find("[error] [Echo] an entry worth seeing\n"), std::string::npos) << echoed;
}

}  // namespace
}  // namespace Tervane
