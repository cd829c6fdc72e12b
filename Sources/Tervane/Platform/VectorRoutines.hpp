#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

/// The few vector routines the library needs beyond CBLAS, as small portable functions with
/// the semantics of their vDSP / vImage namesakes. Everything vectorised lives here.
namespace Tervane::VectorRoutines {

/// IEEE 754 binary16 <-> binary32, rounding to nearest even; NaN stays NaN, overflow gives
/// infinity.
[[nodiscard]] std::uint16_t floatToHalf(float value) noexcept;
[[nodiscard]] float halfToFloat(std::uint16_t bits) noexcept;

/// `vImageConvert_PlanarFtoPlanar16F` over one row.
void convertFloatToHalf(std::span<const float> source, std::uint16_t* destination) noexcept;
/// `vImageConvert_Planar16FtoPlanarF` over one row.
void convertHalfToFloat(std::span<const std::uint16_t> source, float* destination) noexcept;

/// `vDSP_mmov` with one row: moves `count` floats (memmove semantics).
void mmov(const float* source, float* destination, std::size_t count) noexcept;

/// `vDSP_vspdp`: widens `source` into `destination[0 ..< source.size()]`.
void vspdp(std::span<const float> source, double* destination) noexcept;

/// `vDSP_dotprD`: the dot product of the first `min(a.size(), b.size())` elements.
[[nodiscard]] double dotprD(std::span<const double> a, std::span<const double> b) noexcept;

/// `vDSP_dotpr`: the single-precision dot product of the first `min(a.size(), b.size())` elements.
[[nodiscard]] float dotpr(std::span<const float> a, std::span<const float> b) noexcept;

/// `vDSP_svesq`: the sum of squares.
[[nodiscard]] float svesq(std::span<const float> values) noexcept;

}  // namespace Tervane::VectorRoutines
