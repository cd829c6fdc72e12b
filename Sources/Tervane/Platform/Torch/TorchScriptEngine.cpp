// The TorchScript engine: evaluates bundle programs with libtorch. Built as a plug-in so that
// only processes that load a model ever map libtorch.

#include <Tervane/Platform/ModelEngine.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <ATen/Parallel.h>
#include <c10/util/Logging.h>
#include <torch/script.h>
#include <torch/version.h>
#if defined(C10_USE_GLOG)
#include <glog/logging.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <new>
#include <string_view>
#include <thread>

namespace Tervane {

namespace {

using Kind = ModelRuntimeError::Kind;

const AppLogger& logger() {
    static const AppLogger instance("ModelRuntime");
    return instance;
}

/// libtorch warnings (TORCH_WARN, `torch.warn` in a program) go to the log, never to stderr.
/// c10 keeps the handler per thread, so every entry into libtorch installs it.
class LoggingWarningHandler final : public c10::WarningHandler {
public:
    void process(const c10::SourceLocation& location, const std::string& message, bool) override {
        logger().warning("libtorch warning: " + message + " (" + location.file + ":" + std::to_string(location.line) + ")");
    }
};

LoggingWarningHandler warningHandler;

/// The line starts like "RuntimeError: ..." or "IndexError: ...".
bool startsWithErrorName(std::string_view line) {
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    const std::string_view name = line.substr(0, colon);
    const bool plainName = std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
    });
    return plainName && (name.ends_with("Error") || name.ends_with("Exception"));
}

/// What an engine message says, in one line: a TorchScript traceback is reduced to the
/// error that ends it, other messages to their first line.
std::string shortMessage(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    if (lines.empty()) {
        return "unknown error";
    }

    std::string message;
    constexpr std::string_view marker = "<--- HERE";
    const auto here = std::find_if(lines.rbegin(), lines.rend(),
                                   [&](std::string_view line) { return line.find(marker) != std::string_view::npos; });
    if (here != lines.rend()) {
        const auto error = std::find_if(here.base(), lines.end(), startsWithErrorName);
        for (auto line = error; line != lines.end(); ++line) {
            message += (message.empty() ? "" : " ") + std::string(*line);
        }
        if (message.empty()) {
            message = lines.back();
        }
    } else {
        message = lines.front();
    }
    message.erase(0, message.find_first_not_of(' '));
    while (!message.empty() && message.back() == ':') {
        message.pop_back();
    }
    constexpr std::size_t longest = 400;
    return message.size() > longest ? message.substr(0, longest) + "..." : message;
}

std::string engineMessage(const std::exception& error) {
    if (const auto* torchError = dynamic_cast<const c10::Error*>(&error)) {
        return shortMessage(torchError->what_without_backtrace());
    }
    return shortMessage(error.what());
}

c10::ScalarType scalarType(MLMultiArrayDataType type) {
    switch (type) {
    case MLMultiArrayDataType::float32: return c10::kFloat;
    case MLMultiArrayDataType::float16: return c10::kHalf;
    case MLMultiArrayDataType::float64: return c10::kDouble;
    case MLMultiArrayDataType::int32: return c10::kInt;
    }
    return c10::kFloat;
}

bool isConvertible(c10::ScalarType type) {
    return !c10::isComplexType(type) && !c10::isQIntType(type);
}

/// A tensor over the array's own memory and strides; the tensor keeps the array alive, so an
/// output that is a view of an input stays valid after the caller lets the input go.
/// Negative strides, which tensors cannot express, are read through a contiguous copy.
at::Tensor tensorOver(const std::shared_ptr<MLMultiArray>& array) {
    std::shared_ptr<MLMultiArray> source = array;
    if (std::any_of(array->strides().begin(), array->strides().end(), [](std::int64_t s) { return s < 0; })) {
        source = MLMultiArray::make(array->shape(), array->dataType());
        source->copyData(*array);
    }
    void* data = source->dataPointer();
    const MLShape& shape = source->shape();
    const MLShape& strides = source->strides();
    const auto options = torch::TensorOptions().dtype(scalarType(source->dataType()));
    return torch::from_blob(data, shape, strides, [keep = source](void*) {}, options);
}

/// A multi-array over the tensor's memory, keeping the tensor alive.
std::shared_ptr<MLMultiArray> arrayOver(at::Tensor tensor, MLMultiArrayDataType type) {
    void* data = tensor.data_ptr();
    MLShape shape(tensor.sizes().begin(), tensor.sizes().end());
    MLShape strides(tensor.strides().begin(), tensor.strides().end());
    MLMultiArray::Deallocator release = [keep = std::move(tensor)](void*) mutable { keep.reset(); };
    return MLMultiArray::make(data, std::move(shape), type, std::move(strides), std::move(release));
}

/// Per-thread set-up for every entry into libtorch: warnings to the log, no autograd
/// bookkeeping, and the engine's intra-op thread count on threads libtorch did not start.
class EngineScope {
public:
    EngineScope() : warnings_(&warningHandler) {
        thread_local bool threadsInitialised = false;
        if (!threadsInitialised) {
            at::init_num_threads();
            threadsInitialised = true;
        }
    }

private:
    c10::Warning::WarningHandlerGuard warnings_;
    c10::InferenceMode inference_;
};

class TorchScriptProgram final : public ModelProgram {
public:
    TorchScriptProgram(torch::jit::Module module, std::vector<std::string> inputNames,
                       const std::vector<ModelProgramOutput>& outputs, std::string bundle)
        : module_(std::move(module)),
          forward_(module_.get_method("forward")),
          inputNames_(std::move(inputNames)),
          bundle_(std::move(bundle)) {
        for (const ModelProgramOutput& output : outputs) {
            outputs_.push_back({output, c10::IValue(output.name), scalarType(output.dataType)});
        }
    }

    std::vector<std::string> inputNames() const override { return inputNames_; }

    std::vector<std::shared_ptr<MLMultiArray>> run(const std::vector<std::shared_ptr<MLMultiArray>>& inputs) const override {
        try {
            return evaluate(inputs);
        } catch (const ModelRuntimeError&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& error) {
            // libtorch failing outside the program itself: wrapping an input, converting an output.
            fail(Kind::predictionFailed, "the engine failed: " + engineMessage(error));
        }
    }

private:
    struct Output {
        ModelProgramOutput declared;
        c10::IValue key;
        c10::ScalarType scalarType;
    };

    std::vector<std::shared_ptr<MLMultiArray>> evaluate(const std::vector<std::shared_ptr<MLMultiArray>>& inputs) const {
        if (inputs.size() != inputNames_.size()) {
            fail(Kind::predictionFailed, "the program takes " + std::to_string(inputNames_.size()) + " inputs, not " +
                                             std::to_string(inputs.size()));
        }
        const EngineScope scope;
        std::vector<c10::IValue> arguments;
        arguments.reserve(inputs.size() + 1);
        for (const auto& input : inputs) {
            arguments.emplace_back(tensorOver(input));
        }

        c10::IValue result;
        try {
            result = forward_(std::move(arguments));
        } catch (const std::exception& error) {
            fail(Kind::predictionFailed, "the program failed: " + engineMessage(error));
        }
        if (!result.isGenericDict()) {
            fail(Kind::predictionFailed, "the program returned " + result.tagKind() + ", not Dict[str, Tensor]");
        }

        const c10::Dict<c10::IValue, c10::IValue> produced = result.toGenericDict();
        std::vector<std::shared_ptr<MLMultiArray>> arrays;
        arrays.reserve(outputs_.size());
        for (const Output& output : outputs_) {
            const auto found = produced.find(output.key);
            if (found == produced.end()) {
                arrays.emplace_back();
                continue;
            }
            if (!found->value().isTensor()) {
                fail(Kind::outputTypeUnsupported, "the program's output \"" + output.declared.name + "\" is " +
                                                      found->value().tagKind() + ", not a tensor");
            }
            arrays.push_back(declaredArray(found->value().toTensor(), output));
        }
        return arrays;
    }

    [[noreturn]] void fail(Kind kind, const std::string& detail) const {
        throw ModelRuntimeError(kind, bundle_, detail);
    }

    /// The tensor as the declared element type, row-major, in memory the caller may write:
    /// converted or made contiguous by libtorch where needed, copied when its storage is
    /// shared with something besides this output (the model's own weights and constants,
    /// which a caller writing into its result must not change, or another output), otherwise
    /// handed over as it is.
    std::shared_ptr<MLMultiArray> declaredArray(at::Tensor tensor, const Output& output) const {
        if (tensor.scalar_type() != output.scalarType) {
            if (!isConvertible(tensor.scalar_type())) {
                fail(Kind::outputTypeUnsupported, "the program's output \"" + output.declared.name + "\" is " +
                                                      std::string(c10::toString(tensor.scalar_type())) +
                                                      ", which cannot be converted to " +
                                                      std::string(toString(output.declared.dataType)));
            }
            tensor = tensor.to(output.scalarType);
        }
        if (!tensor.device().is_cpu()) {
            tensor = tensor.cpu();
        }
        if (!tensor.is_contiguous()) {
            tensor = tensor.contiguous();
        } else if (tensor.storage().use_count() > 1) {
            tensor = tensor.clone();
        }
        return arrayOver(std::move(tensor), output.declared.dataType);
    }

    torch::jit::Module module_;
    torch::jit::Method forward_;
    std::vector<std::string> inputNames_;
    std::vector<Output> outputs_;
    std::string bundle_;
};

/// Keeps libtorch's own logging (glog, or c10's fallback logger) off stderr: only fatal
/// messages, which end the process anyway, get through. Warnings raised on threads we do not
/// enter (OpenMP workers) would otherwise be printed by the default warning handler.
void silenceTorchLogging() {
#if defined(C10_USE_GLOG)
    FLAGS_minloglevel = std::max(FLAGS_minloglevel, static_cast<decltype(FLAGS_minloglevel)>(google::GLOG_FATAL));
#else
    FLAGS_caffe2_log_level = std::max(FLAGS_caffe2_log_level, static_cast<int>(c10::GLOG_FATAL));
#endif
}

int intraOpThreads() {
    if (const char* requested = std::getenv("OMP_NUM_THREADS"); requested != nullptr && std::atoi(requested) > 0) {
        return std::atoi(requested);
    }
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

class TorchScriptEngine final : public ModelEngine {
public:
    TorchScriptEngine() {
        silenceTorchLogging();
        const c10::Warning::WarningHandlerGuard warnings(&warningHandler);
        const int threads = intraOpThreads();
        at::set_num_threads(threads);
        logger().info("TorchScript engine ready: libtorch " TORCH_VERSION ", " + std::to_string(threads) +
                      " intra-op threads");
    }

    std::unique_ptr<ModelProgram> loadProgram(const std::filesystem::path& program, const std::string& bundle,
                                              const MLModelConfiguration&,
                                              const std::vector<ModelProgramOutput>& outputs) override {
        const EngineScope scope;
        const auto fail = [&](const std::string& detail) {
            throw ModelRuntimeError(Kind::programLoadFailed, bundle,
                                    "the program \"" + program.filename().string() + "\" " + detail);
        };

        torch::jit::Module module;
        try {
            module = torch::jit::load(program.string(), torch::kCPU);
            module.eval();
        } catch (const std::exception& error) {
            fail("does not load: " + engineMessage(error));
        }

        const auto forward = module.find_method("forward");
        if (!forward) {
            fail("has no forward method");
        }
        const c10::FunctionSchema& schema = forward->function().getSchema();
        const auto returns = schema.returns();
        if (returns.size() != 1 || returns[0].type()->str() != "Dict(str, Tensor)") {
            fail("returns " + (returns.empty() ? std::string("nothing") : returns[0].type()->str()) +
                 ", not Dict[str, Tensor]");
        }

        std::vector<std::string> inputNames;
        const auto& arguments = schema.arguments();
        for (std::size_t i = 1; i < arguments.size(); ++i) {  // 0 is the module itself
            if (arguments[i].type()->kind() != c10::TypeKind::TensorType) {
                fail("takes \"" + arguments[i].name() + "\" as " + arguments[i].type()->str() + ", not Tensor");
            }
            inputNames.push_back(arguments[i].name());
        }
        return std::make_unique<TorchScriptProgram>(std::move(module), std::move(inputNames), outputs, bundle);
    }
};

}  // namespace

}  // namespace Tervane

extern "C" Tervane::ModelEngine* TervaneTorchScriptEngine() {
    try {
        static Tervane::TorchScriptEngine engine;
        return &engine;
    } catch (...) {
        return nullptr;
    }
}
