#pragma once

// Model bundles built at test time, so that a test states exactly what a model returns.
//
// A fixture is TorchScript source for the module's methods plus the features its manifest
// declares. The source defines `forward`, taking the declared inputs as Tensor arguments (by
// name, any order) and returning a dict with the declared outputs:
//
//     FixtureModel joint{
//         .source = R"(
//     def forward(self, encoder_step, decoder_step):
//         # the token is read from the encoder frame, the duration from the decoder step
//         token = encoder_step[0, 0, 0].int()
//         return {"token_id": token.reshape([1, 1, 1]),
//                 "token_prob": torch.ones([1, 1, 1]),
//                 "duration": decoder_step[0, 0, 0].int().reshape([1, 1, 1])}
//     )",
//         .inputs = {{"encoder_step", MLMultiArrayDataType::float32, {1, 1024, 1}},
//                    {"decoder_step", MLMultiArrayDataType::float32, {1, 640, 1}}},
//         .outputs = {{"token_id", MLMultiArrayDataType::int32, {1, 1, 1}},
//                     {"token_prob", MLMultiArrayDataType::float32, {1, 1, 1}},
//                     {"duration", MLMultiArrayDataType::int32, {1, 1, 1}}}};
//     auto model = loadFixtureModel(directory, "JointDecision.mlmodelc", joint);
//
// Writing the source (TorchScript compiled by `torch::jit::Module::define`):
// - The source is Python-indented TorchScript in a raw string literal; indent the block to
//   suit the test, the helper removes the indentation all its lines share.
// - Untyped arguments are Tensors. `torch.*` functions resolve (`torch.zeros`, `torch.cat`,
//   `torch.matmul`, `torch.full`, `torch.warn`), but dtype constants such as `torch.int32` do
//   not: convert with `.int()`, `.long()`, `.float()`, `.double()`, `.half()`, or pass the
//   integer dtype code (`dtype=3` int32, `4` int64, `5` float16, `6` float32, `7` float64).
// - Python scalars: `int(t)` / `float(t)` on a one-element tensor, `bool(t > 0)` for a branch;
//   loops (`for i in range(n):`) and `if` work; `assert cond, "message"` fails the
//   prediction with that message; `raise` of Python exception classes does not resolve.
// - Extra methods (`def helper(self, x):`) may follow `forward` in the same source and be
//   called as `self.helper(x)`. Constant tensors go in `buffers` and are read as `self.name`.
// - An output whose dtype differs from the declared one (say `.long()` for an int32 output)
//   is converted by the runtime; return the declared type when the test is not about that.
// - Indexing returns 0-dimensional tensors; `reshape([1, 1, 1])` gives the usual
//   one-element output shape.

#include <Tervane/Platform/MLFeatureProvider.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Tervane::Testing {

/// One declared input or output of a fixture's manifest.
struct FixtureFeature {
    std::string name;
    MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
    MLShape shape;
    std::optional<MLMultiArrayShapeConstraint> shapeConstraint;
};

struct FixtureModel {
    /// TorchScript source defining `forward` (see above).
    std::string source;
    std::vector<FixtureFeature> inputs;
    std::vector<FixtureFeature> outputs;
    std::map<std::string, std::string> metadata;
    /// Constant tensors registered on the module before the source is compiled, read as
    /// `self.<name>`; each keeps the array's shape and element type.
    std::map<std::string, std::shared_ptr<MLMultiArray>> buffers;
};

/// The manifest JSON a fixture's bundle carries ("program": "model.pt"). Tests that need a
/// broken manifest can edit it and write it with `writeManifestOnlyBundle`.
[[nodiscard]] nlohmann::json fixtureManifest(const FixtureModel& model);

/// Writes `directory / bundleName` (created, replacing any old one) holding the manifest and
/// the compiled program, and returns its path. Throws `std::runtime_error` with libtorch's
/// full message when the source does not compile.
std::filesystem::path writeFixtureBundle(const std::filesystem::path& directory, const std::string& bundleName,
                                         const FixtureModel& model);

/// `writeFixtureBundle`, then `MLModel::load`.
[[nodiscard]] std::shared_ptr<MLModel> loadFixtureModel(const std::filesystem::path& directory,
                                                        const std::string& bundleName, const FixtureModel& model,
                                                        const MLModelConfiguration& configuration = {});

/// A bundle directory holding only a manifest with exactly `manifestText` (which need not be
/// JSON) and, when `programBytes` is given, a "model.pt" file with those bytes.
std::filesystem::path writeManifestOnlyBundle(const std::filesystem::path& directory, const std::string& bundleName,
                                              const std::string& manifestText,
                                              const std::optional<std::string>& programBytes = std::nullopt);

/// A contiguous array of `shape` holding `values` in row-major order (zeros when empty).
[[nodiscard]] std::shared_ptr<MLMultiArray> fixtureArray(const MLShape& shape, const std::vector<double>& values = {},
                                                         MLMultiArrayDataType dataType = MLMultiArrayDataType::float32);

/// Every element of `array` by linear (logical) index.
[[nodiscard]] std::vector<double> fixtureValues(const MLMultiArray& array);

/// A dictionary provider over name -> array.
[[nodiscard]] std::shared_ptr<MLDictionaryFeatureProvider> fixtureInputs(
    std::initializer_list<std::pair<std::string, std::shared_ptr<MLMultiArray>>> features);

/// The named output of a prediction result; throws `std::runtime_error` when it is missing.
[[nodiscard]] std::shared_ptr<MLMultiArray> fixtureOutput(const MLFeatureProvider& result, const std::string& name);

}  // namespace Tervane::Testing
