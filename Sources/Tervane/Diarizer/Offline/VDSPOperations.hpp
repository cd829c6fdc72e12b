#pragma once

#include <vector>

namespace Tervane {

/// Small single-precision vector routines shared by the diarizers. No state.
struct VDSPOperations {
    /// The vector divided by max(‖x‖₂, 1e-12); an empty vector is returned unchanged.
    [[nodiscard]] static std::vector<float> l2Normalize(const std::vector<float>& x);
    /// m + ln Σ exp(x − m), m the maximum; −∞ for an empty vector.
    [[nodiscard]] static float logSumExp(const std::vector<float>& x);
    /// rows × vector (row-major, through BLAS). An empty matrix gives an empty list; zero
    /// columns give one zero per row. Every row must hold as many values as the vector.
    [[nodiscard]] static std::vector<float> matrixVectorMultiply(const std::vector<std::vector<float>>& matrix,
                                                                 const std::vector<float>& vector);
};

}  // namespace Tervane
