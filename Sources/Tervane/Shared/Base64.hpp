#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace Tervane::Base64 {

/// Decodes standard Base64 ("A–Z a–z 0–9 + /", "=" padding), skipping every character outside
/// that alphabet (line breaks, spaces, ...). None when what remains is not Base64: a lone
/// trailing character, more than two padding characters, or data after the padding.
/// Unpadded text is accepted.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> decodeIgnoringUnknownCharacters(std::string_view text);

}  // namespace Tervane::Base64
