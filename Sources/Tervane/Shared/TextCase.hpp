#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace Tervane {

/// `text` with ASCII letters in lower case (header names, URL schemes and hosts, feature names).
[[nodiscard]] inline std::string asciiLowercased(std::string text) {
    std::ranges::transform(text, text.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    return text;
}

/// `text` without leading and trailing characters of `whitespace`.
[[nodiscard]] inline std::string trimmed(std::string_view text, std::string_view whitespace = " \t\r\n") {
    const std::size_t first = text.find_first_not_of(whitespace);
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(whitespace) - first + 1));
}

}  // namespace Tervane
