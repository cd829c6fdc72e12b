#pragma once

#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

/// The seam between model bundles and the inference engine that evaluates their programs.
/// The bundle layer (MLModel::load) reads and checks the manifest and every prediction's
/// inputs and outputs; an engine only loads a program file and runs it on named arrays.
namespace Tervane {

/// An output as the bundle declares it: the engine hands it back in this element type.
struct ModelProgramOutput {
    std::string name;
    MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
};

/// One loaded program. `run` may be called from several threads at once.
class ModelProgram {
public:
    virtual ~ModelProgram() = default;

    /// Names of the program's inputs, in the order its entry point takes them.
    [[nodiscard]] virtual std::vector<std::string> inputNames() const = 0;

    /// Evaluates the program. `inputs` holds one array per name of `inputNames()`, in that
    /// order, already checked against the manifest; they are read in place (memory and
    /// strides) and kept alive by any output that shares their memory. The result holds one
    /// entry per output given to `loadProgram`, in that order: the array the program produced
    /// under that name, converted to the declared element type where it produced another,
    /// or null when it produced none. Failures are thrown as `ModelRuntimeError`.
    [[nodiscard]] virtual std::vector<std::shared_ptr<MLMultiArray>> run(
        const std::vector<std::shared_ptr<MLMultiArray>>& inputs) const = 0;
};

class ModelEngine {
public:
    virtual ~ModelEngine() = default;

    /// Loads a program file that is to produce `outputs`; throws `ModelRuntimeError`
    /// (`programLoadFailed`) naming `bundle`.
    [[nodiscard]] virtual std::unique_ptr<ModelProgram> loadProgram(
        const std::filesystem::path& program, const std::string& bundle,
        const MLModelConfiguration& configuration, const std::vector<ModelProgramOutput>& outputs) = 0;
};

/// The TorchScript engine, loaded as a plug-in on first use. Spinning OpenMP worker threads
/// slow a decoding loop that alternates large and tiny predictions several times over, so
/// OpenMP should wait passively: programs built with Tervane start that way, and otherwise
/// this chooses it when OpenMP has not started yet, or logs a notice that it is too late.
/// Throws `ModelRuntimeError` (`runtimeUnavailable`) when the plug-in is missing.
ModelEngine& torchScriptEngine();

}  // namespace Tervane

/// The plug-in's one entry point: returns its process-wide engine.
extern "C" Tervane::ModelEngine* TervaneTorchScriptEngine();
