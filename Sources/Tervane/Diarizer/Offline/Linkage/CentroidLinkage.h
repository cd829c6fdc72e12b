#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Centroid linkage of `n` rows of `dim` doubles (row-major, read only). Writes n − 1 merge
/// rows of [smaller node, larger node, Euclidean merge distance, cluster size] to `output`,
/// which must hold at least 4n − 4 doubles. Returns 0 on success (nothing written for n < 2),
/// 1 for absent data or output or dim = 0, 2 when n or dim ≥ 2^31, 3 for too short an output,
/// 4 when memory runs out, 5 for a NaN distance or another standard exception, 255 otherwise.
/// Never throws.
uint32_t fastcluster_compute_centroid_linkage(const double* data, size_t n, size_t dim, double* output,
                                              size_t outputLength);

#ifdef __cplusplus
}
#endif
