#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace Tervane::Testing {

/// Changes environment variables for its lifetime and puts every one it touched back.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : original_) apply(name, value);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    /// Sets `name` to `value`, or unsets it when `value` is none.
    void set(const std::string& name, const std::optional<std::string>& value) {
        if (!original_.contains(name)) {
            const char* current = std::getenv(name.c_str());
            original_[name] = current ? std::optional<std::string>(current) : std::nullopt;
        }
        apply(name, value);
    }
    void unset(const std::string& name) { set(name, std::nullopt); }

private:
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }

    std::map<std::string, std::optional<std::string>> original_;
};

}  // namespace Tervane::Testing
