#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include "Support/CapturingLogSink.hpp"
#include "Support/ModelFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

namespace Tervane {
namespace {

using Testing::FixtureFeature;
using Testing::FixtureModel;
using Testing::fixtureArray;
using Testing::fixtureInputs;
using Testing::fixtureOutput;
using Testing::fixtureValues;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using Kind = ModelRuntimeError::Kind;
using Type = MLMultiArrayDataType;

/// y = 2x + 1 over a [2, 3] float32 array; also returns an undeclared output.
FixtureModel affineModel() {
    return {.source = R"(
        def forward(self, x):
            return {"y": x * 2.0 + 1.0, "undeclared": x}
    )",
            .inputs = {{"x", Type::float32, {2, 3}}},
            .outputs = {{"y", Type::float32, {2, 3}}}};
}

/// A float32 array over caller storage with the given offset and strides; the storage is
/// first filled with `padding` so that untouched slots can be checked.
struct StridedArray {
    std::shared_ptr<std::vector<float>> storage;
    std::shared_ptr<MLMultiArray> array;

    StridedArray(std::size_t slots, std::ptrdiff_t offset, MLShape shape, MLShape strides, float padding = -99.0f)
        : storage(std::make_shared<std::vector<float>>(slots, padding)),
          array(MLMultiArray::make(storage->data() + offset, std::move(shape), Type::float32, std::move(strides),
                                   [keep = storage](void*) {})) {}
};

template <class Call>
ModelRuntimeError expectRuntimeError(Call&& call) {
    try {
        call();
    } catch (const ModelRuntimeError& error) {
        return error;
    }
    ADD_FAILURE() << "no ModelRuntimeError was thrown";
    return ModelRuntimeError(Kind::predictionFailed, "", "none");
}

class MLModelTest : public ::testing::Test {
protected:
    std::shared_ptr<MLModel> load(const FixtureModel& model, const std::string& name = "Model.mlmodelc") {
        return Testing::loadFixtureModel(directory.path(), name, model);
    }

    Testing::TemporaryDirectory directory{"tervane-mlmodel"};
};

TEST_F(MLModelTest, DescriptionComesFromTheManifest) {
    MLMultiArrayShapeConstraint audioRange{.type = MLMultiArrayShapeConstraintType::range,
                                           .sizeRangeForDimension = {{1, 1}, {16000, -1}}};
    MLMultiArrayShapeConstraint weightShapes{.type = MLMultiArrayShapeConstraintType::enumerated,
                                             .enumeratedShapes = {{1, 589}, {1, 1178}}};
    const FixtureModel fixture{.source = R"(
        def forward(self, weights, audio):
            return {"embedding": torch.zeros([1, 256], dtype=7)}
    )",
                               .inputs = {{"audio", Type::float16, {1, 160000}, audioRange},
                                          {"weights", Type::int32, {1, 589}, weightShapes}},
                               .outputs = {{"embedding", Type::float64, {1, 256}}},
                               .metadata = {{"author", "tests"}, {"frames", "589"}}};
    const auto model = Testing::loadFixtureModel(directory.path(), "Embedding.mlmodelc", fixture,
                                                 {.computeUnits = MLComputeUnits::cpuOnly});
    const MLModelDescription& description = model->modelDescription();

    ASSERT_EQ(description.inputDescriptionsByName.size(), 2u);
    const MLFeatureDescription& audio = description.inputDescriptionsByName.at("audio");
    EXPECT_EQ(audio.name, "audio");
    EXPECT_EQ(audio.type, MLFeatureType::multiArray);
    ASSERT_TRUE(audio.multiArrayConstraint);
    EXPECT_EQ(audio.multiArrayConstraint->dataType, Type::float16);
    EXPECT_EQ(audio.multiArrayConstraint->shape, (MLShape{1, 160000}));
    EXPECT_EQ(audio.multiArrayConstraint->shapeConstraint.type, MLMultiArrayShapeConstraintType::range);
    EXPECT_THAT(audio.multiArrayConstraint->shapeConstraint.sizeRangeForDimension,
                ElementsAre(MLSizeRange{1, 1}, MLSizeRange{16000, -1}));

    const MLMultiArrayConstraint& weights = *description.inputDescriptionsByName.at("weights").multiArrayConstraint;
    EXPECT_EQ(weights.dataType, Type::int32);
    EXPECT_EQ(weights.shapeConstraint.type, MLMultiArrayShapeConstraintType::enumerated);
    EXPECT_THAT(weights.shapeConstraint.enumeratedShapes, ElementsAre(MLShape{1, 589}, MLShape{1, 1178}));

    const MLMultiArrayConstraint& embedding = *description.outputDescriptionsByName.at("embedding").multiArrayConstraint;
    EXPECT_EQ(embedding.dataType, Type::float64);
    EXPECT_EQ(embedding.shape, (MLShape{1, 256}));
    EXPECT_EQ(embedding.shapeConstraint.type, MLMultiArrayShapeConstraintType::unspecified);

    EXPECT_EQ(description.metadata, (std::map<std::string, std::string>{{"author", "tests"}, {"frames", "589"}}));
    EXPECT_EQ(model->configuration().computeUnits, MLComputeUnits::cpuOnly);
}

TEST(MLMultiArrayConstraintTest, AllowsShapesByItsConstraint) {
    const auto constraint = [](MLShape shape, MLMultiArrayShapeConstraint shapes = {}) {
        return MLMultiArrayConstraint{.shape = std::move(shape), .shapeConstraint = std::move(shapes)};
    };
    const MLMultiArrayShapeConstraint enumerated{.type = MLMultiArrayShapeConstraintType::enumerated,
                                                 .enumeratedShapes = {{1, 589}, {2, 589}}};
    const MLMultiArrayShapeConstraint ranges{.type = MLMultiArrayShapeConstraintType::range,
                                             .sizeRangeForDimension = {{1, 1}, {10, 20}, {0, -1}}};
    const struct {
        const char* name;
        MLMultiArrayConstraint constraint;
        MLShape candidate;
        bool allowed;
    } cases[] = {
        {"exact declared shape", constraint({1, 640, 1}), {1, 640, 1}, true},
        {"other declared size", constraint({1, 640, 1}), {1, 641, 1}, false},
        {"other rank", constraint({1, 640, 1}), {1, 640}, false},
        {"free sizes 0 and -1", constraint({1, 0, -1}), {1, 7, 9}, true},
        {"free size keeps the rank", constraint({1, -1}), {1, 7, 9}, false},
        {"no declared shape", constraint({}), {4, 5, 6}, true},
        {"enumerated member", constraint({1, 589}, enumerated), {2, 589}, true},
        {"enumerated non-member", constraint({1, 589}, enumerated), {3, 589}, false},
        {"range inside", constraint({1, 10, 0}, ranges), {1, 20, 100000}, true},
        {"range below lower bound", constraint({1, 10, 0}, ranges), {1, 9, 1}, false},
        {"range above upper bound", constraint({1, 10, 0}, ranges), {1, 21, 1}, false},
        {"range other rank", constraint({1, 10, 0}, ranges), {1, 10}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.constraint.allows(c.candidate), c.allowed) << c.name;
    }
}

TEST_F(MLModelTest, PredictsTheProgramsValuesForTheDeclaredOutputs) {
    const auto model = load(affineModel());
    const auto input = fixtureInputs({{"x", fixtureArray({2, 3}, {0, 1, 2, -1, -2, 0.5})},
                                      {"ignored", fixtureArray({1}, {5})}});

    const auto result = model->prediction(*input);

    EXPECT_EQ(result->featureNames(), (std::set<std::string>{"y"}));
    const auto y = fixtureOutput(*result, "y");
    EXPECT_EQ(y->shape(), (MLShape{2, 3}));
    EXPECT_EQ(y->dataType(), Type::float32);
    EXPECT_THAT(fixtureValues(*y), ElementsAre(1, 3, 5, -1, -3, 2));
}

TEST_F(MLModelTest, CarriesEveryElementTypeInAndOut) {
    for (const Type type : {Type::float32, Type::float16, Type::float64, Type::int32}) {
        SCOPED_TRACE(std::string(toString(type)));
        const auto model = load({.source = R"(
            def forward(self, x):
                return {"y": x + x}
        )",
                                 .inputs = {{"x", type, {3}}},
                                 .outputs = {{"y", type, {3}}}},
                                std::string(toString(type)) + ".mlmodelc");
        const auto result = model->prediction(*fixtureInputs({{"x", fixtureArray({3}, {1, -2, 3}, type)}}));
        const auto y = fixtureOutput(*result, "y");
        EXPECT_EQ(y->dataType(), type);
        EXPECT_THAT(fixtureValues(*y), ElementsAre(2, -4, 6));
    }
}

TEST_F(MLModelTest, ReadsStridedInputsByLogicalIndex) {
    const auto model = load({.source = R"(
        def forward(self, x):
            return {"y": x + 0.0}
    )",
                             .inputs = {{"x", Type::float32, {2, 3}}},
                             .outputs = {{"y", Type::float32, {2, 3}}}});
    const struct {
        const char* name;
        StridedArray input;
    } layouts[] = {
        {"padded rows", StridedArray(8, 0, {2, 3}, {4, 1})},
        {"column-major", StridedArray(6, 0, {2, 3}, {1, 2})},
        {"reversed (negative strides)", StridedArray(6, 5, {2, 3}, {-3, -1})},
    };
    const std::vector<double> logical = {1, 2, 3, 4, 5, 6};
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        for (std::size_t i = 0; i < logical.size(); ++i) {
            layout.input.array->setValue(static_cast<std::int64_t>(i), logical[i]);
        }
        const auto y = fixtureOutput(*model->prediction(*fixtureInputs({{"x", layout.input.array}})), "y");
        EXPECT_THAT(fixtureValues(*y), ElementsAreArray(logical));
        // Outputs are handed out row-major, so callers that walk the storage see the same.
        EXPECT_TRUE(y->isContiguous());
    }
}

TEST_F(MLModelTest, WritesIntoStridedBackingsAndLeavesTheirPaddingAlone) {
    const auto model = load(affineModel());
    const struct {
        const char* name;
        StridedArray backing;
        std::vector<std::size_t> elementSlots;  // storage slot of each logical element
    } backings[] = {
        {"padded rows", StridedArray(8, 0, {2, 3}, {4, 1}), {0, 1, 2, 4, 5, 6}},
        {"column-major", StridedArray(6, 0, {2, 3}, {1, 2}), {0, 2, 4, 1, 3, 5}},
        {"other shape, same count", StridedArray(12, 0, {6}, {2}), {0, 2, 4, 6, 8, 10}},
    };
    const auto input = fixtureInputs({{"x", fixtureArray({2, 3}, {0, 1, 2, 3, 4, 5})}});
    const std::vector<float> expected = {1, 3, 5, 7, 9, 11};
    for (const auto& b : backings) {
        SCOPED_TRACE(b.name);
        const auto result = model->prediction(*input, {.outputBackings = {{"y", b.backing.array}}});

        EXPECT_EQ(fixtureOutput(*result, "y"), b.backing.array);
        std::vector<float> expectedStorage(b.backing.storage->size(), -99.0f);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            expectedStorage[b.elementSlots[i]] = expected[i];
        }
        EXPECT_THAT(*b.backing.storage, ElementsAreArray(expectedStorage));
    }
}

TEST_F(MLModelTest, BackingsMayAliasTheCallsOwnInputs) {
    // Decoder-style state update: the new state is written over the state that was read.
    const auto decoder = load({.source = R"(
        def forward(self, h_in, c_in):
            return {"h_out": h_in + 1.0, "c_out": c_in * 2.0}
    )",
                               .inputs = {{"h_in", Type::float32, {2, 1, 3}}, {"c_in", Type::float32, {2, 1, 3}}},
                               .outputs = {{"h_out", Type::float32, {2, 1, 3}}, {"c_out", Type::float32, {2, 1, 3}}}},
                              "Decoder.mlmodelc");
    const auto h = fixtureArray({2, 1, 3}, {0, 1, 2, 3, 4, 5});
    const auto c = fixtureArray({2, 1, 3}, {1, 1, 1, 2, 2, 2});
    const auto input = fixtureInputs({{"h_in", h}, {"c_in", c}});
    const MLPredictionOptions options{.outputBackings = {{"h_out", h}, {"c_out", c}}};
    const auto first = decoder->prediction(*input, options);
    const auto second = decoder->prediction(*input, options);
    EXPECT_EQ(fixtureOutput(*second, "h_out"), h);
    EXPECT_THAT(fixtureValues(*h), ElementsAre(2, 3, 4, 5, 6, 7));
    EXPECT_THAT(fixtureValues(*c), ElementsAre(4, 4, 4, 8, 8, 8));

    // An output that is a view of an input, written into a backing that overlaps it further
    // along: every element must be read before it is overwritten.
    const auto shift = load({.source = R"(
        def forward(self, state):
            return {"head": state[0:6]}
    )",
                             .inputs = {{"state", Type::float32, {8}}},
                             .outputs = {{"head", Type::float32, {6}}}},
                            "Shift.mlmodelc");
    const struct {
        const char* name;
        MLShape shape;
        MLShape strides;
        std::vector<double> state;
    } tails[] = {
        {"contiguous tail", {6}, {1}, {0, 1, 0, 1, 2, 3, 4, 5}},
        {"column-major tail", {2, 3}, {1, 2}, {0, 1, 0, 3, 1, 4, 2, 5}},
    };
    for (const auto& t : tails) {
        SCOPED_TRACE(t.name);
        const auto state = fixtureArray({8}, {0, 1, 2, 3, 4, 5, 6, 7});
        const auto tail = MLMultiArray::make(state->data<float>() + 2, t.shape, Type::float32, t.strides,
                                             [keep = state](void*) {});
        (void)shift->prediction(*fixtureInputs({{"state", state}}), {.outputBackings = {{"head", tail}}});
        EXPECT_THAT(fixtureValues(*tail), ElementsAre(0, 1, 2, 3, 4, 5));
        EXPECT_THAT(fixtureValues(*state), ElementsAreArray(t.state));
    }
}

TEST_F(MLModelTest, ConvertsOutputsToTheDeclaredElementType) {
    const struct {
        const char* expression;
        Type declared;
        std::vector<double> expected;
    } cases[] = {
        {"(x * 3.0).long()", Type::int32, {3, -6, 9}},
        {"x.double() / 2.0", Type::float32, {0.5, -1, 1.5}},
        {"x * 0.25", Type::float16, {0.25, -0.5, 0.75}},
        {"x > 0.0", Type::int32, {1, 0, 1}},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expression);
        const auto model = load({.source = "def forward(self, x):\n    return {\"y\": " + std::string(c.expression) + "}\n",
                                 .inputs = {{"x", Type::float32, {3}}},
                                 .outputs = {{"y", c.declared, {3}}}},
                                "Convert" + std::to_string(index++) + ".mlmodelc");
        const auto y = fixtureOutput(*model->prediction(*fixtureInputs({{"x", fixtureArray({3}, {1, -2, 3})}})), "y");
        EXPECT_EQ(y->dataType(), c.declared);
        EXPECT_THAT(fixtureValues(*y), ElementsAreArray(c.expected));
    }
}

TEST_F(MLModelTest, BatchPredictionAnswersInInputOrder) {
    const auto model = load(affineModel());
    std::vector<std::shared_ptr<const MLFeatureProvider>> inputs;
    for (int i = 0; i < 4; ++i) {
        inputs.push_back(fixtureInputs({{"x", fixtureArray({2, 3}, std::vector<double>(6, i))}}));
    }
    const auto results = model->predictions(MLArrayBatchProvider(inputs), {});
    ASSERT_EQ(results.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_THAT(fixtureValues(*fixtureOutput(*results[i], "y")), ElementsAreArray(std::vector<double>(6, 2 * i + 1)));
    }
}

TEST_F(MLModelTest, AnOutputThatIsAnInputOutlivesTheCallersArray) {
    const auto model = load({.source = R"(
        def forward(self, x):
            return {"y": x}
    )",
                             .inputs = {{"x", Type::float32, {4}}},
                             .outputs = {{"y", Type::float32, {4}}}});
    std::shared_ptr<MLMultiArray> y;
    {
        StridedArray x(4, 0, {4}, {1});
        for (int i = 0; i < 4; ++i) {
            x.array->setValue(i, 10 + i);
        }
        y = fixtureOutput(*model->prediction(*fixtureInputs({{"x", x.array}})), "y");
    }
    EXPECT_THAT(fixtureValues(*y), ElementsAre(10, 11, 12, 13));
}

TEST_F(MLModelTest, WritingIntoAnOutputLeavesTheModelAndOtherOutputsAlone) {
    // Both outputs are views of the model's own constant table.
    const auto model = load({.source = R"(
        def forward(self, x):
            return {"row": self.table[1], "same_row": self.table[1]}
    )",
                             .inputs = {{"x", Type::float32, {1}}},
                             .outputs = {{"row", Type::float32, {3}}, {"same_row", Type::float32, {3}}},
                             .buffers = {{"table", fixtureArray({2, 3}, {1, 2, 3, 4, 5, 6})}}});
    const auto input = fixtureInputs({{"x", fixtureArray({1})}});
    const auto first = model->prediction(*input);
    fixtureOutput(*first, "row")->fill(-1);

    EXPECT_THAT(fixtureValues(*fixtureOutput(*first, "same_row")), ElementsAre(4, 5, 6));
    EXPECT_THAT(fixtureValues(*fixtureOutput(*model->prediction(*input), "row")), ElementsAre(4, 5, 6));
}

TEST_F(MLModelTest, LoadFailuresNameTheBundleAndTheFault) {
    const std::string validManifest = Testing::fixtureManifest(affineModel()).dump();
    const auto manifestWith = [&](const std::function<void(nlohmann::json&)>& edit) {
        nlohmann::json manifest = Testing::fixtureManifest(affineModel());
        edit(manifest);
        return manifest.dump();
    };
    const std::filesystem::path root = directory.path();
    const auto manifestOnly = [&](const std::string& text, std::optional<std::string> program = std::nullopt) {
        return Testing::writeManifestOnlyBundle(root, "Broken.mlmodelc", text, program);
    };
    const auto withProgram = [&](const char* source) {
        FixtureModel fixture = affineModel();
        fixture.source = source;
        return Testing::writeFixtureBundle(root, "Broken.mlmodelc", fixture);
    };

    const struct {
        const char* name;
        std::function<std::filesystem::path()> bundle;
        Kind kind;
        std::vector<std::string> mentions;
    } cases[] = {
        {"missing directory", [&] { return root / "Absent.mlmodelc"; }, Kind::bundleNotFound, {"no such directory"}},
        {"a file, not a directory",
         [&] {
             std::ofstream(root / "File.mlmodelc") << "x";
             return root / "File.mlmodelc";
         },
         Kind::bundleNotFound, {"not a directory"}},
        {"manifest missing",
         [&] {
             std::filesystem::create_directories(root / "Empty.mlmodelc");
             return root / "Empty.mlmodelc";
         },
         Kind::manifestMissing, {"coremldata.bin", "missing"}},
        {"manifest not JSON", [&] { return manifestOnly("{\"format\": "); }, Kind::manifestInvalid, {"not valid JSON"}},
        {"inputs missing", [&] { return manifestOnly(manifestWith([](auto& m) { m.erase("inputs"); })); },
         Kind::manifestInvalid, {"\"inputs\" is missing"}},
        {"unknown data type",
         [&] { return manifestOnly(manifestWith([](auto& m) { m["inputs"][0]["dataType"] = "int64"; })); },
         Kind::manifestInvalid, {"input \"x\"", "\"int64\""}},
        {"enumerated constraint without shapes",
         [&] {
             return manifestOnly(manifestWith([](auto& m) { m["outputs"][0]["shapeConstraint"] = {{"type", "enumerated"}}; }));
         },
         Kind::manifestInvalid, {"output \"y\"", "enumeratedShapes"}},
        {"other format version", [&] { return manifestOnly(manifestWith([](auto& m) { m["formatVersion"] = 2; })); },
         Kind::manifestInvalid, {"formatVersion"}},
        {"program outside the bundle",
         [&] { return manifestOnly(manifestWith([](auto& m) { m["program"] = "../model.pt"; })); },
         Kind::manifestInvalid, {"\"program\"", "../model.pt"}},
        {"program missing", [&] { return manifestOnly(validManifest); }, Kind::programMissing, {"model.pt", "missing"}},
        {"program not TorchScript", [&] { return manifestOnly(validManifest, "not a zip archive"); },
         Kind::programLoadFailed, {"model.pt", "does not load", "PytorchStreamReader"}},
        {"program takes an undeclared input",
         [&] { return withProgram("def forward(self, x, extra):\n    return {\"y\": x}\n"); },
         Kind::programInterfaceMismatch, {"\"extra\"", "does not declare"}},
        {"program does not take a declared input",
         [&] { return withProgram("def forward(self):\n    return {\"y\": torch.zeros([2, 3])}\n"); },
         Kind::programInterfaceMismatch, {"\"x\"", "does not take"}},
        {"program returns a tensor", [&] { return withProgram("def forward(self, x):\n    return x\n"); },
         Kind::programLoadFailed, {"Dict[str, Tensor]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path bundle = c.bundle();
        const ModelRuntimeError error = expectRuntimeError([&] { (void)MLModel::load(bundle); });
        EXPECT_EQ(error.kind(), c.kind);
        EXPECT_EQ(error.bundle(), bundle.string());
        EXPECT_THAT(error.description(), HasSubstr("\"" + bundle.string() + "\""));
        EXPECT_THAT(error.description(), Not(HasSubstr("\n")));
        for (const std::string& mention : c.mentions) {
            EXPECT_THAT(error.description(), HasSubstr(mention));
        }
    }
}

TEST_F(MLModelTest, PredictionFailuresNameTheFeature) {
    const auto model = load({.source = R"(
        def forward(self, x, n):
            assert bool(x[0, 0] >= 0.0), "x must not be negative"
            if bool(n[0] > 1):
                return {"y": x * 2.0}
            return {"y": x * 2.0, "count": n}
    )",
                             .inputs = {{"x", Type::float32, {1, 4}, MLMultiArrayShapeConstraint{
                                              .type = MLMultiArrayShapeConstraintType::enumerated,
                                              .enumeratedShapes = {{1, 4}, {1, 8}}}},
                                        {"n", Type::int32, {1}}},
                             .outputs = {{"y", Type::float32, {1, 4}}, {"count", Type::int32, {1}}}});
    const auto x = fixtureArray({1, 4});
    const auto n = fixtureArray({1}, {1}, Type::int32);
    const struct {
        const char* name;
        std::shared_ptr<MLFeatureProvider> input;
        MLPredictionOptions options;
        Kind kind;
        std::vector<std::string> mentions;
    } cases[] = {
        {"missing input", fixtureInputs({{"x", x}}), {}, Kind::inputMissing, {"\"n\"", "missing"}},
        {"wrong element type", fixtureInputs({{"x", fixtureArray({1, 4}, {}, Type::float64)}, {"n", n}}), {},
         Kind::inputTypeMismatch, {"\"x\"", "float32", "double"}},
        {"shape not enumerated", fixtureInputs({{"x", fixtureArray({1, 5})}, {"n", n}}), {}, Kind::inputShapeMismatch,
         {"\"x\"", "[1, 5]", "[1, 4], [1, 8]"}},
        {"program fails", fixtureInputs({{"x", fixtureArray({1, 4}, {-1, 0, 0, 0})}, {"n", n}}), {},
         Kind::predictionFailed, {"x must not be negative"}},
        {"declared output not produced", fixtureInputs({{"x", x}, {"n", fixtureArray({1}, {2}, Type::int32)}}), {},
         Kind::outputMissing, {"\"count\""}},
        {"backing of another size", fixtureInputs({{"x", x}, {"n", n}}), {.outputBackings = {{"y", fixtureArray({1, 5})}}},
         Kind::outputBackingMismatch, {"\"y\"", "[1, 5]", "[1, 4]"}},
        {"backing for no output", fixtureInputs({{"x", x}, {"n", n}}), {.outputBackings = {{"z", fixtureArray({1})}}},
         Kind::outputBackingMismatch, {"\"z\""}},
    };
    const std::string bundle = (directory.path() / "Model.mlmodelc").string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ModelRuntimeError error = expectRuntimeError([&] { (void)model->prediction(*c.input, c.options); });
        EXPECT_EQ(error.kind(), c.kind);
        EXPECT_THAT(error.description(), HasSubstr("\"" + bundle + "\""));
        EXPECT_THAT(error.description(), Not(HasSubstr("\n")));
        for (const std::string& mention : c.mentions) {
            EXPECT_THAT(error.description(), HasSubstr(mention));
        }
    }
}

TEST_F(MLModelTest, ConcurrentPredictionsEachGetTheirOwnResult) {
    const auto model = load(affineModel());
    constexpr int rounds = 200;
    const auto predictMany = [&](double value, int& wrong) {
        for (int i = 0; i < rounds; ++i) {
            const double x = value + i;
            const auto input = fixtureInputs({{"x", fixtureArray({2, 3}, std::vector<double>(6, x))}});
            const auto y = fixtureValues(*fixtureOutput(*model->prediction(*input), "y"));
            wrong += y != std::vector<double>(6, 2 * x + 1) ? 1 : 0;
        }
    };
    int wrongA = 0;
    int wrongB = 0;
    std::thread a(predictMany, 0.0, std::ref(wrongA));
    std::thread b(predictMany, 1000.0, std::ref(wrongB));
    a.join();
    b.join();
    EXPECT_EQ(wrongA, 0);
    EXPECT_EQ(wrongB, 0);
}

TEST_F(MLModelTest, EngineWarningsGoToTheLogNotToTheConsole) {
    const Testing::LogCapture log;
    const FixtureModel warning{.source = R"(
        def forward(self, x):
            torch.warn("scripted warning")
            return {"y": x}
    )",
                               .inputs = {{"x", Type::float32, {1}}},
                               .outputs = {{"y", Type::float32, {1}}}};
    const auto input = fixtureInputs({{"x", fixtureArray({1}, {1})}});

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const auto model = load(warning);
    (void)model->prediction(*input);
    std::thread([&] { (void)model->prediction(*input); }).join();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string out = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    const auto messages = log->messages("ModelRuntime");
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.find("scripted warning") != std::string::npos; }),
              2);
}

}  // namespace
}  // namespace Tervane
