#include "Support/CapturingLogSink.hpp"
#include "Support/DiarizerFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/OfflineEmbeddingExtractor.hpp>
#include <Tervane/Diarizer/Offline/OfflineSegmentationProcessor.hpp>
#include <Tervane/Diarizer/Offline/WeightInterpolation.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <thread>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;

/// One local speaker active at `value` over frames [from, to).
struct Activity {
    std::size_t speaker;
    std::size_t from;
    std::size_t to;
    float value = 1.0F;
};

std::vector<std::vector<float>> weights(std::size_t frames, const std::vector<Activity>& activity) {
    std::vector<std::vector<float>> result(frames, std::vector<float>(3, 0.0F));
    for (const Activity& a : activity) {
        for (std::size_t f = a.from; f < a.to; ++f) {
            result[f][a.speaker] = a.value;
        }
    }
    return result;
}

SegmentationOutput segmentationOf(std::vector<std::vector<std::vector<float>>> chunks, std::vector<double> offsets) {
    SegmentationOutput output;
    output.numChunks = static_cast<std::int64_t>(chunks.size());
    output.numFrames = chunks.empty() ? 0 : static_cast<std::int64_t>(chunks.front().size());
    output.frameDuration = output.numFrames > 0 ? 10.0 / static_cast<double>(output.numFrames) : 0;
    output.speakerWeights = std::move(chunks);
    output.chunkOffsets = std::move(offsets);
    return output;
}

double cosine(const std::vector<float>& a, const std::vector<float>& b) {
    double dot = 0;
    double na = 0;
    double nb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        dot += a[i] * b[i];
        na += a[i] * a[i];
        nb += b[i] * b[i];
    }
    return dot / std::sqrt(na * nb);
}

class OfflineEmbeddingExtractorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = std::make_unique<TemporaryDirectory>("tervane-embedding");
        writeDiarizerFixtureModels(directory->path());
        segmentation = MLModel::load(directory->path() / "Segmentation.mlmodelc");
        fbank = MLModel::load(directory->path() / "FBank.mlmodelc");
        embedding = MLModel::load(directory->path() / "Embedding.mlmodelc");
        rho = MLModel::load(directory->path() / "PldaRho.mlmodelc");
    }
    static void TearDownTestSuite() {
        segmentation.reset();
        fbank.reset();
        embedding.reset();
        rho.reset();
        directory.reset();
    }

    static OfflineEmbeddingExtractor extractor(const std::shared_ptr<MLModel>& rhoModel = rho,
                                               OfflineDiarizerConfig config = OfflineDiarizerConfig::defaultConfig(),
                                               const std::shared_ptr<MLModel>& embeddingModel = embedding) {
        return OfflineEmbeddingExtractor(fbank, embeddingModel, PLDATransform(rhoModel, std::vector<double>(128, 1.0)),
                                         std::move(config));
    }

    inline static std::unique_ptr<TemporaryDirectory> directory;
    inline static std::shared_ptr<MLModel> segmentation;
    inline static std::shared_ptr<MLModel> fbank;
    inline static std::shared_ptr<MLModel> embedding;
    inline static std::shared_ptr<MLModel> rho;
};

TEST_F(OfflineEmbeddingExtractorTest, DiscoversTheModelsInterface) {
    const OfflineEmbeddingExtractor e = extractor();
    EXPECT_EQ(e.fbankInputShape(), (MLShape{1, 1, 160000}));
    EXPECT_EQ(e.audioSampleCount(), 160000);
    EXPECT_EQ(e.weightInputShape(), (MLShape{1, 589}));
    EXPECT_EQ(e.weightFrameCount(), 589);
    EXPECT_EQ(e.modelBatchLimit(), 32);
}

TEST_F(OfflineEmbeddingExtractorTest, ReadsDeclaredShapes) {
    const auto constraint = [](MLShape shape, std::vector<MLShape> enumerated = {}, std::vector<MLSizeRange> ranges = {}) {
        MLMultiArrayConstraint c;
        c.shape = std::move(shape);
        c.shapeConstraint.enumeratedShapes = std::move(enumerated);
        c.shapeConstraint.sizeRangeForDimension = std::move(ranges);
        return c;
    };
    struct Case {
        MLMultiArrayConstraint constraint;
        std::int64_t elementCount;
        std::int64_t hint;
        MLShape sanitized;
    };
    const MLShape fallback = {1, 1, 589};
    const std::vector<Case> cases = {
        {constraint({1, 589}), 589, 2, {1, 589}},
        {constraint({}), 77, 0, {1, 1, 589}},
        {constraint({1, 300, -1}), 300, 3, {1, 300, 589}},
        {constraint({-1, 0}), 77, 2, {1, 1}},
        {constraint({1, 0, 0, 0}), 77, 4, {1, 1, 589, 589}},
        {constraint({1, 589}, {{2, 1, 100}}), 589, 3, {2, 1, 100}},
        {constraint({}, {}, {{1, 32}, {0, 5}, {160000, 160000}}), 77, 3, {1, 1, 160000}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(OfflineEmbeddingExtractor::resolveElementCount(cases[i].constraint, 77), cases[i].elementCount);
        EXPECT_EQ(OfflineEmbeddingExtractor::dimensionHint(cases[i].constraint), cases[i].hint);
        EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(cases[i].constraint, fallback), cases[i].sanitized);
    }
    EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(constraint({0, -1}), {}), (MLShape{1, 1}));
}

TEST_F(OfflineEmbeddingExtractorTest, RefusesModelsWithoutTheFeaturesItNeeds) {
    const auto renamed = [](FixtureModel model, bool input, const std::string& from, const std::string& to) {
        auto& features = input ? model.inputs : model.outputs;
        for (FixtureFeature& feature : features) {
            if (feature.name == from) {
                feature.name = to;
            }
        }
        // Keep the program's argument and result names in step with the manifest.
        for (std::size_t at = model.source.find(from); at != std::string::npos; at = model.source.find(from, at + to.size())) {
            model.source.replace(at, from.size(), to);
        }
        return model;
    };
    struct Case {
        FixtureModel fbankModel;
        FixtureModel embeddingModel;
        std::string message;
    };
    const std::vector<Case> cases = {
        {renamed(fbankFixture(), true, "audio", "waveform"), embeddingFixture(),
         "FBANK model is missing `audio` multiarray input; required for offline pipeline"},
        {renamed(fbankFixture(), false, "fbank_features", "features"), embeddingFixture(),
         "FBANK model missing `fbank_features` multiarray output"},
        {fbankFixture(), renamed(embeddingFixture(), true, "fbank_features", "features"),
         "Embedding model missing `fbank_features` multiarray input"},
        {fbankFixture(), renamed(embeddingFixture(), true, "weights", "mask"),
         "Embedding model missing `weights` multiarray input"},
        {fbankFixture(), renamed(embeddingFixture(), false, "embedding", "vector"),
         "Embedding model missing `embedding` multiarray output"},
    };
    const TemporaryDirectory bundles("tervane-embedding-refusal");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].message);
        const auto fbankModel = loadFixtureModel(bundles.path(), "FBank" + std::to_string(i), cases[i].fbankModel);
        const auto embeddingModel = loadFixtureModel(bundles.path(), "Embedding" + std::to_string(i), cases[i].embeddingModel);
        LogCapture log;
        try {
            (void)OfflineEmbeddingExtractor(fbankModel, embeddingModel, PLDATransform(rho, {}),
                                            OfflineDiarizerConfig::defaultConfig());
            ADD_FAILURE() << "constructed";
        } catch (const OfflineDiarizationError& error) {
            EXPECT_EQ(error.kind(), OfflineDiarizationError::Kind::modelNotLoaded);
            EXPECT_EQ(error.message(), cases[i].message);
        }
        const auto errors = log->entries("OfflineEmbedding");
        ASSERT_EQ(errors.size(), 1U);
        EXPECT_EQ(errors[0].level, AppLogger::Level::error);
        EXPECT_EQ(errors[0].message, cases[i].message);
    }
}

TEST_F(OfflineEmbeddingExtractorTest, EmbedsEachActiveLocalSpeakerOfEachChunk) {
    // 20 s: speaker 0 for 0–6 s, speaker 1 for 12–20 s; segmented for real.
    const std::vector<float> samples = scriptedRecording({{0, 0, 6}, {1, 12, 20}}, 20);
    const ArrayAudioSampleSource source(samples);
    const SegmentationOutput output =
        OfflineSegmentationProcessor().process(source, *segmentation, OfflineDiarizerConfig::defaultConfig());
    ASSERT_EQ(output.numChunks, 10);  // 0, 2, ..., 18 s

    const std::vector<TimedEmbedding> embeddings = extractor().extractEmbeddings(source, output);
    // Speaker 0 speaks at least 1 s in chunks 0–2 (0, 2, 4 s); speaker 1 in chunks 2–9.
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    for (const TimedEmbedding& e : embeddings) {
        pairs.emplace_back(e.chunkIndex, e.speakerIndex);
    }
    const std::vector<std::pair<std::int64_t, std::int64_t>> expected = {
        {0, 0}, {1, 0}, {2, 0}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}};
    ASSERT_EQ(pairs, expected);

    const TimedEmbedding& first = embeddings.front();
    EXPECT_EQ(first.startFrame, 0);
    EXPECT_NEAR(first.startTime, 0, 1e-9);
    EXPECT_NEAR(first.endTime, 6.0, 0.05);
    EXPECT_EQ(first.frameWeights.size(), 589U);
    const TimedEmbedding& bridging = embeddings[3];  // chunk 2 (4–14 s), speaker 1 from 12 s
    EXPECT_NEAR(bridging.startTime, 12.0, 0.05);
    EXPECT_NEAR(bridging.endTime, 14.0, 0.05);

    for (const TimedEmbedding& e : embeddings) {
        ASSERT_EQ(e.embedding256.size(), 256U);
        const std::vector<double> expectedRho = fixtureRho(e.embedding256);
        ASSERT_EQ(e.rho128.size(), 128U);
        for (std::size_t i = 0; i < 128; ++i) {
            EXPECT_NEAR(e.rho128[i], expectedRho[i], 1e-5);
        }
        // Same speaker, same voice: the profiles agree; the two voices hardly overlap.
        const TimedEmbedding& reference = e.speakerIndex == 0 ? embeddings.front() : embeddings.back();
        const TimedEmbedding& other = e.speakerIndex == 0 ? embeddings.back() : embeddings.front();
        EXPECT_GT(cosine(e.embedding256, reference.embedding256), 0.99);
        EXPECT_LT(cosine(e.embedding256, other.embedding256), 0.2);
    }
}

TEST_F(OfflineEmbeddingExtractorTest, MasksExcludeOverlapFallBackAndSkipSilentSpeakers) {
    // Speaker 0 alone on frames 0–299 and with speaker 1 on 100–199; speaker 1 never alone
    // (clean mask empty: falls back to its full weights); speaker 2 silent.
    const auto chunk = weights(589, {{0, 0, 300}, {1, 100, 200, 0.8F}});
    LogCapture log;
    const std::vector<TimedEmbedding> embeddings =
        extractor().extractEmbeddings(std::vector<float>(160000, 0.1F), segmentationOf({chunk}, {0}));
    ASSERT_EQ(embeddings.size(), 2U);

    std::vector<float> clean(589, 0.0F);
    std::fill(clean.begin(), clean.begin() + 100, 1.0F);
    std::fill(clean.begin() + 200, clean.begin() + 300, 1.0F);
    EXPECT_EQ(embeddings[0].speakerIndex, 0);
    EXPECT_EQ(embeddings[0].frameWeights, clean);
    EXPECT_EQ(embeddings[0].startFrame, 0);
    EXPECT_EQ(embeddings[0].endFrame, 299);

    std::vector<float> full(589, 0.0F);
    std::fill(full.begin() + 100, full.begin() + 200, 0.8F);
    EXPECT_EQ(embeddings[1].speakerIndex, 1);
    EXPECT_EQ(embeddings[1].frameWeights, full);
    EXPECT_EQ(embeddings[1].startFrame, 100);
    EXPECT_EQ(embeddings[1].endFrame, 199);
    EXPECT_DOUBLE_EQ(embeddings[1].startTime, 100 * 10.0 / 589);
    EXPECT_DOUBLE_EQ(embeddings[1].endTime, 200 * 10.0 / 589);

    const auto messages = log->messages("OfflineEmbedding");
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Embedding masks generated: 2 (meanActiveFrames=140.00, fallbackMasks=1, emptyMasks=1)"),
              messages.end());

    // Without overlap exclusion speaker 0 keeps its overlapped frames.
    OfflineDiarizerConfig keepOverlap;
    keepOverlap.embedding.excludeOverlap = false;
    const auto kept = extractor(rho, keepOverlap).extractEmbeddings(std::vector<float>(160000, 0.1F), segmentationOf({chunk}, {0}));
    ASSERT_EQ(kept.size(), 2U);
    std::vector<float> all(589, 0.0F);
    std::fill(all.begin(), all.begin() + 300, 1.0F);
    EXPECT_EQ(kept[0].frameWeights, all);
}

TEST_F(OfflineEmbeddingExtractorTest, TimesCoverOnlyFramesAboveTheActivityFloor) {
    auto chunk = weights(589, {{0, 0, 10, 0.0005F}, {0, 10, 100}, {0, 100, 120, 0.001F}});
    const auto embeddings = extractor().extractEmbeddings(std::vector<float>(160000, 0.1F), segmentationOf({chunk}, {0}));
    ASSERT_EQ(embeddings.size(), 1U);
    EXPECT_EQ(embeddings[0].startFrame, 10);
    EXPECT_EQ(embeddings[0].endFrame, 99);
}

TEST_F(OfflineEmbeddingExtractorTest, ChunkStartsAreRepairedOrSkipped) {
    // Chunk 1 has no usable offset (starts at 10 s); chunk 2 starts past the audio's end.
    const auto active = weights(589, {{0, 0, 589}});
    const std::vector<float> samples = scriptedRecording({{0, 0, 20}}, 20);
    const auto embeddings = extractor().extractEmbeddings(
        samples, segmentationOf({active, active, active}, {0, std::numeric_limits<double>::quiet_NaN(), 20.0}));
    ASSERT_EQ(embeddings.size(), 2U);
    EXPECT_EQ(embeddings[1].chunkIndex, 1);
    EXPECT_DOUBLE_EQ(embeddings[1].startTime, 10.0);
    EXPECT_DOUBLE_EQ(embeddings[1].endTime, 20.0);
}

TEST_F(OfflineEmbeddingExtractorTest, ShorterSegmentationsAreStretchedToTheModelsFrameCount) {
    const auto recording = std::make_shared<RecordingModel>(embedding);
    const auto chunk = weights(293, {{2, 0, 293}});
    SegmentationOutput output = segmentationOf({chunk}, {0});
    const auto embeddings = extractor(rho, {}, recording).extractEmbeddings(
        scriptedRecording({{2, 0, 10}}, 10), output);
    ASSERT_EQ(embeddings.size(), 1U);
    EXPECT_EQ(embeddings[0].frameWeights.size(), 293U);
    EXPECT_DOUBLE_EQ(embeddings[0].endTime, 10.0);
    for (const auto& call : recording->calls()) {
        EXPECT_EQ(call.at("weights"), (MLShape{1, 589}));
    }

    const WeightInterpolation::InterpolationCoefficients stretch(293, 589);
    std::vector<float> ramp(293);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<float>(i);
    }
    const std::vector<float> stretched = stretch.interpolate(ramp);
    ASSERT_EQ(stretched.size(), 589U);
    EXPECT_EQ(stretch.maxUpperIndex, 292);
    EXPECT_FLOAT_EQ(stretched.front(), 0.0F);  // the ends repeat the first and last value
    EXPECT_FLOAT_EQ(stretched.back(), 292.0F);
    for (std::size_t i = 1; i + 1 < stretched.size(); ++i) {
        const float x = (static_cast<float>(i) + 0.5F) * 293.0F / 589.0F - 0.5F;
        EXPECT_NEAR(stretched[i], x, 1e-3F) << i;
    }
    EXPECT_TRUE(stretch.interpolate({}).empty());
    EXPECT_THROW((void)stretch.interpolate(std::vector<float>(292, 1.0F)), std::invalid_argument);
    EXPECT_EQ(WeightInterpolation::InterpolationCoefficients(1, 4).interpolate({7}), std::vector<float>(4, 7.0F));
}

TEST_F(OfflineEmbeddingExtractorTest, ProjectsThroughPldaInBatchesInProductionOrder) {
    // 35 chunks with two speakers each: 70 embeddings, projected 32, 32 and 6 at a time.
    const auto chunk = weights(589, {{0, 0, 294}, {1, 295, 589}});
    std::vector<std::vector<std::vector<float>>> chunks(35, chunk);
    std::vector<double> offsets;
    for (int c = 0; c < 35; ++c) {
        offsets.push_back(2.0 * c);
    }
    std::vector<SpeakerTurn> turns;
    for (int c = 0; c < 36; ++c) {
        turns.push_back({c % 3, 2.0 * c, 2.0 * c + 2.0});
    }
    const auto recordingRho = std::make_shared<RecordingModel>(rho);
    const auto embeddings = extractor(recordingRho).extractEmbeddings(scriptedRecording(turns, 80),
                                                                      segmentationOf(chunks, offsets));
    ASSERT_EQ(embeddings.size(), 70U);
    for (std::size_t i = 0; i < embeddings.size(); ++i) {
        EXPECT_EQ(embeddings[i].chunkIndex, static_cast<std::int64_t>(i / 2));
        EXPECT_EQ(embeddings[i].speakerIndex, static_cast<std::int64_t>(i % 2));
        const std::vector<double> expected = fixtureRho(embeddings[i].embedding256);
        EXPECT_NEAR(embeddings[i].rho128[0], expected[0], 1e-5);
        EXPECT_NEAR(embeddings[i].rho128[127], expected[127], 1e-5);
    }
    std::vector<std::int64_t> rows;
    for (const auto& call : recordingRho->calls()) {
        rows.push_back(call.at("embeddings")[0]);
    }
    // Each projection call starts with its one-row warm-up.
    EXPECT_EQ(rows, (std::vector<std::int64_t>{1, 32, 1, 32, 1, 6}));
}

TEST_F(OfflineEmbeddingExtractorTest, AnEmptyStreamOnlyWarmsUp) {
    const auto recordingEmbedding = std::make_shared<RecordingModel>(embedding);
    const auto recordingRho = std::make_shared<RecordingModel>(rho);
    AsyncChannel<SegmentationChunk> stream;
    stream.finish();
    ::testing::internal::CaptureStderr();
    const auto embeddings = extractor(recordingRho, {}, recordingEmbedding)
                                .extractEmbeddings(ArrayAudioSampleSource(std::vector<float>(16000)), stream);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(embeddings.empty());
    EXPECT_EQ(recordingEmbedding->calls().size(), 1U);
    EXPECT_TRUE(recordingRho->calls().empty());
}

TEST_F(OfflineEmbeddingExtractorTest, FollowsTheSegmentationAsItStreams) {
    const std::vector<float> samples = scriptedRecording({{0, 0, 9}, {1, 9, 16}, {2, 16, 30}}, 30);
    const ArrayAudioSampleSource source(samples);
    const OfflineDiarizerConfig config;
    const OfflineEmbeddingExtractor e = extractor();

    AsyncChannel<SegmentationChunk> stream;
    SegmentationOutput output;
    std::jthread producer([&] {
        output = OfflineSegmentationProcessor().process(source, *segmentation, config, [&](const SegmentationChunk& chunk) {
            return stream.yield(chunk) == AsyncChannel<SegmentationChunk>::YieldResult::enqueued
                       ? SegmentationChunkContinuation::proceed
                       : SegmentationChunkContinuation::stop;
        });
        stream.finish();
    });
    const std::vector<TimedEmbedding> streamed = e.extractEmbeddings(source, stream);
    producer.join();
    const std::vector<TimedEmbedding> finished = e.extractEmbeddings(source, output);
    ASSERT_EQ(streamed.size(), finished.size());
    ASSERT_FALSE(streamed.empty());
    for (std::size_t i = 0; i < streamed.size(); ++i) {
        EXPECT_EQ(streamed[i].chunkIndex, finished[i].chunkIndex);
        EXPECT_EQ(streamed[i].speakerIndex, finished[i].speakerIndex);
        EXPECT_EQ(streamed[i].embedding256, finished[i].embedding256);
        EXPECT_EQ(streamed[i].rho128, finished[i].rho128);
    }
}

TEST_F(OfflineEmbeddingExtractorTest, StreamFailuresAndCancellationEndTheCall) {
    const OfflineEmbeddingExtractor e = extractor();
    const ArrayAudioSampleSource source(std::vector<float>(160000, 0.1F));
    {
        AsyncChannel<SegmentationChunk> stream;
        (void)stream.yield({0, 0, 10.0 / 589, {}, weights(589, {{0, 0, 589}})});
        stream.finish(std::make_exception_ptr(OfflineDiarizationError::processingFailed("segmentation broke")));
        try {
            (void)e.extractEmbeddings(source, stream);
            ADD_FAILURE() << "the stream's failure was swallowed";
        } catch (const OfflineDiarizationError& error) {
            EXPECT_EQ(error.description(), "Processing failed: segmentation broke");
        }
    }
    {
        AsyncChannel<SegmentationChunk> stream;  // never finished: only cancellation ends the wait
        std::stop_source stop;
        std::jthread canceller([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            stop.request_stop();
        });
        EXPECT_THROW((void)e.extractEmbeddings(source, stream, stop.get_token()), CancellationError);
    }
}

TEST_F(OfflineEmbeddingExtractorTest, EmbeddingsOfTheWrongSizeFailBeforeProjection) {
    FixtureModel shortEmbedding = embeddingFixture();
    shortEmbedding.source = R"(
    def forward(self, fbank_features, weights):
        return {"embedding": torch.ones([1, 255]) * weights.sum()}
)";
    const TemporaryDirectory bundles("tervane-embedding-short");
    const auto model = loadFixtureModel(bundles.path(), "Embedding.mlmodelc", shortEmbedding);
    const auto recordingRho = std::make_shared<RecordingModel>(rho);
    try {
        (void)extractor(recordingRho, {}, model)
            .extractEmbeddings(std::vector<float>(160000, 0.1F), segmentationOf({weights(589, {{0, 0, 589}})}, {0}));
        ADD_FAILURE() << "a 255-value embedding was projected";
    } catch (const OfflineDiarizationError& error) {
        EXPECT_EQ(error.description(), "Invalid configuration: Expected 256-dim embeddings, got 255");
    }
    EXPECT_TRUE(recordingRho->calls().empty());
}

TEST_F(OfflineEmbeddingExtractorTest, WritesOneProfilingLineToStandardError) {
    ::testing::internal::CaptureStderr();
    (void)extractor().extractEmbeddings(scriptedRecording({{0, 0, 10}}, 10), segmentationOf({weights(589, {{0, 0, 589}})}, {0}));
    const std::string written = ::testing::internal::GetCapturedStderr();
    const std::string total = R"(\d+\.\d{2}ms)";
    const std::string each = R"(\d+\.\d{3}ms)";
    EXPECT_TRUE(std::regex_match(
        written, std::regex(R"(\[Profiling\] Embedding timings: fbankTotal=)" + total + R"( \(perWindow=)" + each +
                            R"(\), maskPrepTotal=)" + total + R"( \(perEval=)" + each + R"(\), resampleTotal=)" + total +
                            R"( \(perValid=)" + each + R"(\), embeddingTotal=)" + total + R"( \(perValid=)" + each +
                            R"(\), pldaTotal=)" + total + R"( \(perValid=)" + each +
                            R"(\), batches\(fbank=1, plda=1\)\n)")))
        << written;
}

}  // namespace
