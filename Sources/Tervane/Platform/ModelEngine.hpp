#pragma once

#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

/// The seam between model bundles and the inference engine that evaluates their programs.
/// The bundle layer (MLModel::load) reads and checks the manifest and every prediction's
/// inputs and outputs; an engine only loads a program file and runs it on named arrays.
namespace Tervane {

/// One loaded program. `run` may be called from several threads at once.
class ModelProgram {
public:
    virtual ~ModelProgram() = default;

    /// Names of the program's inputs, in the order its entry point takes them.
    [[nodiscard]] virtual std::vector<std::string> inputNames() const = 0;

    /// Evaluates the program. `inputs` holds every input by name (already checked against the
    /// manifest); the result holds every array the program produced, by name, in whatever
    /// element type it produced (the bundle layer converts to the declared type).
    /// Failures are thrown as `ModelRuntimeError` with kind `predictionFailed`.
    [[nodiscard]] virtual std::map<std::string, std::shared_ptr<MLMultiArray>> run(
        const std::vector<std::pair<std::string, std::shared_ptr<MLMultiArray>>>& inputs) const = 0;
};

class ModelEngine {
public:
    virtual ~ModelEngine() = default;

    /// Loads a program file; throws `ModelRuntimeError` (`programLoadFailed`) naming `bundle`.
    [[nodiscard]] virtual std::unique_ptr<ModelProgram> loadProgram(
        const std::filesystem::path& program, const std::string& bundle,
        const MLModelConfiguration& configuration) = 0;
};

/// The TorchScript engine, loaded as a plug-in on first use. Before loading it this selects
/// OpenMP's passive wait policy (unless the environment already chose one), because spinning
/// worker threads slow a decoding loop that alternates large and tiny predictions several
/// times over. Throws `ModelRuntimeError` (`runtimeUnavailable`) when the plug-in is missing.
ModelEngine& torchScriptEngine();

}  // namespace Tervane

/// The plug-in's one entry point: returns its process-wide engine.
extern "C" Tervane::ModelEngine* TervaneTorchScriptEngine();
