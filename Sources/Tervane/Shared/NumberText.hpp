#pragma once

#include <string>

/// Number texts for messages that users and tests read.
namespace Tervane::NumberText {

/// The shortest decimal text that reads back as the same value, laid out the way people write
/// numbers: plain notation with at least one fractional digit for magnitudes in [1e-4, 1e16)
/// ("0.0", "1.5", "0.0001", "160000.0"), exponent notation outside it ("1e-05", "2.5e+16"),
/// and "nan", "inf", "-inf".
[[nodiscard]] std::string shortest(double value);
[[nodiscard]] std::string shortest(float value);

/// `value` with exactly `decimals` fractional digits, as printf's "%.Nf" writes it.
[[nodiscard]] std::string fixed(double value, int decimals);

}  // namespace Tervane::NumberText
