#include <Tervane/Shared/NumberText.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace Tervane::NumberText {

namespace {

/// Lays out the digits of a shortest scientific text ("d.ddde±XX") as `shortest` describes.
std::string layOut(std::string_view scientific) {
    std::string sign;
    if (!scientific.empty() && scientific.front() == '-') {
        sign = "-";
        scientific.remove_prefix(1);
    }
    const std::size_t exponentAt = scientific.find('e');
    const std::string_view mantissa = scientific.substr(0, exponentAt);
    const int exponent = std::atoi(std::string(scientific.substr(exponentAt + 1)).c_str());

    std::string digits;
    for (const char c : mantissa) {
        if (c != '.') {
            digits += c;
        }
    }

    if (exponent < -4 || exponent >= 16) {
        std::string text = sign + digits.substr(0, 1);
        if (digits.size() > 1) {
            text += '.';
            text += digits.substr(1);
        }
        char exponentText[16];
        std::snprintf(exponentText, sizeof exponentText, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        return text + exponentText;
    }

    const int pointAt = exponent + 1;  // digits before the decimal point
    std::string integral;
    std::string fraction;
    if (pointAt <= 0) {
        integral = "0";
        fraction = std::string(static_cast<std::size_t>(-pointAt), '0') + digits;
    } else if (static_cast<std::size_t>(pointAt) >= digits.size()) {
        integral = digits + std::string(static_cast<std::size_t>(pointAt) - digits.size(), '0');
        fraction = "0";
    } else {
        integral = digits.substr(0, static_cast<std::size_t>(pointAt));
        fraction = digits.substr(static_cast<std::size_t>(pointAt));
    }
    return sign + integral + "." + fraction;
}

template <class Number>
std::string shortestText(Number value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    if (result.ec != std::errc()) {
        return "nan";  // unreachable: 64 characters hold any shortest form
    }
    return layOut(std::string_view(text, static_cast<std::size_t>(result.ptr - text)));
}

}  // namespace

std::string shortest(double value) { return shortestText(value); }
std::string shortest(float value) { return shortestText(value); }

std::string fixed(double value, int decimals) {
    char text[512];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace Tervane::NumberText
