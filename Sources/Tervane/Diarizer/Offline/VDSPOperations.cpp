#include <Tervane/Diarizer/Offline/VDSPOperations.hpp>

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace Tervane {

std::vector<float> VDSPOperations::l2Normalize(const std::vector<float>& x) {
    if (x.empty()) {
        return x;
    }
    float squaredNorm = 0.0f;
    for (const float value : x) {
        squaredNorm += value * value;
    }
    const float divisor = std::max(std::sqrt(squaredNorm), 1e-12f);
    std::vector<float> result(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        result[i] = x[i] / divisor;
    }
    return result;
}

float VDSPOperations::logSumExp(const std::vector<float>& x) {
    if (x.empty()) {
        return -std::numeric_limits<float>::infinity();
    }
    const float maximum = *std::max_element(x.begin(), x.end());
    if (std::isinf(maximum)) {
        // All −∞ (or any +∞): the sum is exactly that; shifting by it would give NaN.
        return maximum;
    }
    float sum = 0.0f;
    for (const float value : x) {
        sum += std::exp(value - maximum);
    }
    return maximum + std::log(sum);
}

std::vector<float> VDSPOperations::matrixVectorMultiply(const std::vector<std::vector<float>>& matrix,
                                                        const std::vector<float>& vector) {
    if (matrix.empty()) {
        return {};
    }
    const std::size_t rows = matrix.size();
    const std::size_t columns = vector.size();
    std::vector<float> result(rows, 0.0f);
    if (columns == 0) {
        return result;
    }
    for (const std::vector<float>& row : matrix) {
        if (row.size() != columns) {
            throw std::invalid_argument("matrixVectorMultiply: every row must hold " + std::to_string(columns) +
                                        " values, one holds " + std::to_string(row.size()));
        }
    }
    if (rows > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        columns > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw std::length_error("matrixVectorMultiply: matrix too large for BLAS");
    }
    std::vector<float> flat(rows * columns);
    for (std::size_t r = 0; r < rows; ++r) {
        std::copy(matrix[r].begin(), matrix[r].end(), flat.begin() + static_cast<std::ptrdiff_t>(r * columns));
    }
    cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(rows), static_cast<int>(columns), 1.0f, flat.data(),
                static_cast<int>(columns), vector.data(), 1, 0.0f, result.data(), 1);
    return result;
}

}  // namespace Tervane
