#include <Tervane/Platform/VectorRoutines.hpp>

#include <bit>
#include <cstring>

namespace Tervane::VectorRoutines {

std::uint16_t floatToHalf(float value) noexcept {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t sign = (bits >> 16) & 0x8000u;
    const std::uint32_t magnitude = bits & 0x7fffffffu;

    if (magnitude >= 0x7f800000u) {  // infinity or NaN; keep NaN quiet and non-zero
        const std::uint32_t mantissa = magnitude > 0x7f800000u ? 0x0200u | ((magnitude >> 13) & 0x3ffu) : 0;
        return static_cast<std::uint16_t>(sign | 0x7c00u | mantissa);
    }
    if (magnitude >= 0x477ff000u) {  // rounds to a value beyond the largest half: infinity
        return static_cast<std::uint16_t>(sign | 0x7c00u);
    }
    if (magnitude < 0x38800000u) {  // below the smallest normal half: subnormal or zero
        if (magnitude < 0x33000000u) {  // below half the smallest subnormal: rounds to zero
            return static_cast<std::uint16_t>(sign);
        }
        const std::uint32_t exponent = magnitude >> 23;
        const std::uint32_t mantissa = (magnitude & 0x7fffffu) | 0x800000u;
        // value = mantissa * 2^(exponent - 150) and a subnormal half counts units of 2^-24.
        const std::uint32_t shift = 126 - exponent;  // 14 to 24
        const std::uint32_t halfMantissa = mantissa >> shift;
        const std::uint32_t remainder = mantissa & ((1u << shift) - 1);
        const std::uint32_t halfway = 1u << (shift - 1);
        std::uint32_t result = halfMantissa;
        if (remainder > halfway || (remainder == halfway && (halfMantissa & 1u))) {
            ++result;
        }
        return static_cast<std::uint16_t>(sign | result);
    }
    // Normal: rebias the exponent and round the mantissa to 10 bits, ties to even. A carry out
    // of the mantissa correctly bumps the exponent.
    const std::uint32_t rebiased = magnitude - 0x38000000u;
    const std::uint32_t remainder = rebiased & 0x1fffu;
    std::uint32_t result = rebiased >> 13;
    if (remainder > 0x1000u || (remainder == 0x1000u && (result & 1u))) {
        ++result;
    }
    return static_cast<std::uint16_t>(sign | result);
}

float halfToFloat(std::uint16_t bits) noexcept {
    const std::uint32_t sign = (static_cast<std::uint32_t>(bits) & 0x8000u) << 16;
    const std::uint32_t exponent = (bits >> 10) & 0x1fu;
    std::uint32_t mantissa = bits & 0x3ffu;

    std::uint32_t result;
    if (exponent == 0x1f) {
        result = sign | 0x7f800000u | (mantissa << 13);
    } else if (exponent != 0) {
        result = sign | ((exponent + 112) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        result = sign;
    } else {  // subnormal half: normalise
        std::uint32_t e = 113;
        while ((mantissa & 0x400u) == 0) {
            mantissa <<= 1;
            --e;
        }
        result = sign | (e << 23) | ((mantissa & 0x3ffu) << 13);
    }
    return std::bit_cast<float>(result);
}

void convertFloatToHalf(std::span<const float> source, std::uint16_t* destination) noexcept {
    for (std::size_t i = 0; i < source.size(); ++i) {
        destination[i] = floatToHalf(source[i]);
    }
}

void convertHalfToFloat(std::span<const std::uint16_t> source, float* destination) noexcept {
    for (std::size_t i = 0; i < source.size(); ++i) {
        destination[i] = halfToFloat(source[i]);
    }
}

void mmov(const float* source, float* destination, std::size_t count) noexcept {
    if (count == 0 || source == destination) {
        return;
    }
    std::memmove(destination, source, count * sizeof(float));
}

void vspdp(std::span<const float> source, double* destination) noexcept {
    for (std::size_t i = 0; i < source.size(); ++i) {
        destination[i] = static_cast<double>(source[i]);
    }
}

double dotprD(std::span<const double> a, std::span<const double> b) noexcept {
    const std::size_t count = a.size() < b.size() ? a.size() : b.size();
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += a[i] * b[i];
    }
    return sum;
}

float dotpr(std::span<const float> a, std::span<const float> b) noexcept {
    const std::size_t count = a.size() < b.size() ? a.size() : b.size();
    float sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += a[i] * b[i];
    }
    return sum;
}

float svesq(std::span<const float> values) noexcept {
    float sum = 0;
    for (const float value : values) {
        sum += value * value;
    }
    return sum;
}

}  // namespace Tervane::VectorRoutines
