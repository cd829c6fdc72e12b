#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Tervane {

/// A 128-bit universally unique identifier. `random()` draws a version-4 UUID; the text form is
/// the canonical 36-character one in upper case ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
class UUID {
public:
    [[nodiscard]] static UUID random();
    /// The UUID a 36-character canonical text names, in either case; none for any other text.
    [[nodiscard]] static std::optional<UUID> fromString(std::string_view text);

    [[nodiscard]] std::string uuidString() const;
    [[nodiscard]] const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace Tervane
