#include <Tervane/Shared/Base64.hpp>

#include <array>

namespace Tervane::Base64 {

namespace {

constexpr std::int8_t unknown = -1;
constexpr std::int8_t padding = -2;

constexpr std::array<std::int8_t, 256> makeTable() {
    std::array<std::int8_t, 256> table{};
    table.fill(unknown);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    }
    table[static_cast<unsigned char>('=')] = padding;
    return table;
}

constexpr std::array<std::int8_t, 256> table = makeTable();

}  // namespace

std::optional<std::vector<std::uint8_t>> decodeIgnoringUnknownCharacters(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t accumulator = 0;
    int pending = 0;  // sextets in `accumulator`
    int paddingCount = 0;
    for (const char character : text) {
        const std::int8_t value = table[static_cast<unsigned char>(character)];
        if (value == unknown) {
            continue;
        }
        if (value == padding) {
            ++paddingCount;
            continue;
        }
        if (paddingCount > 0) {
            return std::nullopt;  // data after the padding
        }
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        if (++pending == 4) {
            bytes.push_back(static_cast<std::uint8_t>(accumulator >> 16));
            bytes.push_back(static_cast<std::uint8_t>(accumulator >> 8));
            bytes.push_back(static_cast<std::uint8_t>(accumulator));
            accumulator = 0;
            pending = 0;
        }
    }
    if (paddingCount > 2 || pending == 1 || (paddingCount > 0 && pending + paddingCount != 4)) {
        return std::nullopt;
    }
    if (pending == 2) {
        bytes.push_back(static_cast<std::uint8_t>(accumulator >> 4));
    } else if (pending == 3) {
        bytes.push_back(static_cast<std::uint8_t>(accumulator >> 10));
        bytes.push_back(static_cast<std::uint8_t>(accumulator >> 2));
    }
    return bytes;
}

}  // namespace Tervane::Base64
