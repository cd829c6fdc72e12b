#pragma once

// A compiled model bundle is a directory (named like "Encoder.mlmodelc") holding two files:
//
// "coremldata.bin", the manifest: UTF-8 JSON of this form
//
//     {
//       "format": "tervane-model-bundle",
//       "formatVersion": 1,
//       "engine": "torchscript",
//       "program": "model.pt",
//       "inputs":  [FEATURE, ...],
//       "outputs": [FEATURE, ...],
//       "metadata": {"key": "value", ...}          (optional, strings only)
//     }
//
//     FEATURE = {
//       "name": "encoder_step",
//       "type": "multiArray",
//       "dataType": "float32" | "float16" | "double" | "int32",
//       "shape": [1, 1024, 1],                     (may be empty; 0 or -1 marks a free size)
//       "shapeConstraint": {                       (optional; "unspecified" when absent)
//         "type": "unspecified" | "enumerated" | "range",
//         "enumeratedShapes": [[1, 1024, 1], ...], (required and non-empty for "enumerated")
//         "sizeRangeForDimension": [[1, 1], [1024, 1024], [1, -1], ...]
//                                                  (required for "range": inclusive
//                                                   [lower, upper] per dimension, upper -1
//                                                   for unbounded)
//       }
//     }
//
// and the program it names, a path relative to the bundle: for the "torchscript" engine a
// saved TorchScript module whose `forward` takes exactly the declared inputs as Tensor
// arguments (matched by name, in any order) and returns `Dict[str, Tensor]` holding at least
// the declared outputs. Feature names are unique within "inputs" and within "outputs".
// Unknown keys are ignored, so later versions may add some without breaking readers.

#include <Tervane/Platform/MLModel.hpp>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Tervane {

/// A bundle's manifest, read and checked.
struct ModelBundle {
    static constexpr std::string_view manifestFileName = "coremldata.bin";
    static constexpr std::string_view formatName = "tervane-model-bundle";
    static constexpr int formatVersion = 1;
    static constexpr std::string_view torchScriptEngineName = "torchscript";

    std::filesystem::path path;
    std::string engine;
    /// The program file, `path` / the manifest's "program".
    std::filesystem::path program;
    MLModelDescription description;
    /// Feature names in manifest order.
    std::vector<std::string> inputNames;
    std::vector<std::string> outputNames;

    /// Reads the bundle at `path`: the directory must exist, its manifest must be valid and
    /// the program it names must be a file. Throws `ModelRuntimeError` (`bundleNotFound`,
    /// `manifestMissing`, `manifestInvalid` or `programMissing`) naming the bundle.
    static ModelBundle read(const std::filesystem::path& path);

    /// Parses manifest text as found in the bundle at `path` (which only names it in errors
    /// and anchors the program path). Throws `ModelRuntimeError` (`manifestInvalid`).
    static ModelBundle parse(std::string_view manifest, const std::filesystem::path& path);
};

}  // namespace Tervane
