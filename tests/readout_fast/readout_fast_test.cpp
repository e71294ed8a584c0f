// The fast readout against the reference and against worked examples, once per
// instruction set; a set this build or processor lacks is reported skipped.
#include "readout/readout_fast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "readout/binning_mode.h"
#include "readout/frame_geometry.h"
#include "readout/readout.h"
#include "readout/window.h"
#include "tests/readout_fast/every_level.h"

namespace {

constexpr std::size_t kGuardSamples = 48;
constexpr uint16_t kGuardValue = 0xA55A;
constexpr int64_t kLastSample = static_cast<int64_t>(kRawFrameSamples) - 1;

using Frame = std::vector<uint8_t>;  // exactly kRawFrameBytes, so a sanitizer sees over-reads

void storeSample(Frame &frame, int64_t index, uint16_t value) {
    frame[2 * index] = static_cast<uint8_t>(value >> 8);
    frame[2 * index + 1] = static_cast<uint8_t>(value);
}

Frame uniformFrame(uint16_t value) {
    Frame frame(kRawFrameBytes);
    for (std::size_t i = 0; i < kRawFrameSamples; ++i) {
        storeSample(frame, static_cast<int64_t>(i), value);
    }
    return frame;
}

// Values of every magnitude, so that sums sometimes reach the limit and often not.
Frame randomFrame(uint32_t seed) {
    std::mt19937 random(seed);
    Frame frame(kRawFrameBytes);
    for (std::size_t i = 0; i < kRawFrameSamples; ++i) {
        const uint32_t bits = random();
        storeSample(frame, static_cast<int64_t>(i),
                    static_cast<uint16_t>((bits & 0xFFFF) >> (bits >> 28)));
    }
    return frame;
}

std::string describe(uint32_t mode, const ReadoutWindow &w) {
    std::ostringstream text;
    text << "mode " << mode << " window x " << w.x << " y " << w.y << " width " << w.width
         << " height " << w.height;
    return text.str();
}

std::size_t imageSamples(const ReadoutWindow &w) {
    return w.width > 0 && w.height > 0 ? static_cast<std::size_t>(w.width) * w.height : 0;
}

// Runs one conversion into an image pre-filled with `fill`, followed by guard samples.
template <typename Convert>
std::vector<uint16_t> convertInto(const ReadoutWindow &w, uint16_t fill, Convert convert) {
    std::vector<uint16_t> image(imageSamples(w) + kGuardSamples, fill);
    std::fill(image.end() - kGuardSamples, image.end(), kGuardValue);
    convert(image.data());
    return image;
}

std::vector<uint16_t> referenceImage(uint32_t mode, const ReadoutWindow &w, const uint8_t *raw,
                                     uint16_t fill = 0x3C3C) {
    return convertInto(w, fill, [&](uint16_t *image) { readFrameReference(mode, w, raw, image); });
}

// The fast conversion at `level` leaves the same image as the reference: from
// two different fillings, so that a sample written by one and not the other
// shows, and the guard after the image stays intact.
::testing::AssertionResult matchesReference(SimdLevel level, uint32_t mode, const ReadoutWindow &w,
                                            const uint8_t *raw) {
    for (uint16_t fill : {uint16_t{0x0000}, uint16_t{0xFFFF}}) {
        const std::vector<uint16_t> expected = referenceImage(mode, w, raw, fill);
        bool ran = false;
        const std::vector<uint16_t> image = convertInto(
            w, fill, [&](uint16_t *out) { ran = readFrameWith(level, mode, w, raw, out); });
        if (!ran) {
            return ::testing::AssertionFailure() << simdLevelName(level) << " not run";
        }
        const auto [got, want] = std::mismatch(image.begin(), image.end(), expected.begin());
        if (got != image.end()) {
            const auto i = static_cast<std::size_t>(got - image.begin());
            return ::testing::AssertionFailure()
                   << simdLevelName(level) << ' ' << describe(mode, w) << ": sample " << i
                   << (i < imageSamples(w) ? "" : " (guard after the image)") << " is " << *got
                   << ", reference " << *want << " (image filled with " << fill << ')';
        }
    }
    return ::testing::AssertionSuccess();
}

ReadoutWindow fullWindow(uint32_t mode) {
    const uint32_t factor = kBinningModes[mode].binFactor;
    // Mode 3 and mode 0 read the 768-row frame, counted in binned rows of their own.
    return {0, 0, static_cast<int32_t>(kSensorWidth / factor),
            static_cast<int32_t>(kSensorHeight / factor)};
}

bool insideBuffer(const SampleSpan &span) { return span.first >= 0 && span.last <= kLastSample; }

TEST(SimdLevels, PortableAlwaysAvailableAndBestIsAvailable) {
    EXPECT_TRUE(simdLevelAvailable(SimdLevel::Scalar));
    EXPECT_TRUE(simdLevelAvailable(bestSimdLevel())) << simdLevelName(bestSimdLevel());
#if defined(__x86_64__)
    EXPECT_TRUE(simdLevelAvailable(SimdLevel::Sse2));
#endif
    for (SimdLevel level : kSimdLevels) {
        if (!simdLevelAvailable(level)) {
            std::vector<uint16_t> image(4, 7);
            const Frame frame = uniformFrame(1);
            EXPECT_FALSE(readFrameWith(level, 4, {0, 0, 2, 2}, frame.data(), image.data()));
            EXPECT_EQ(image, std::vector<uint16_t>(4, 7)) << simdLevelName(level);
        }
    }
}

// Sample values below 4096, so no sum of up to 16 reaches the limit.
uint16_t exampleValue(int64_t index) {
    return static_cast<uint16_t>((static_cast<uint64_t>(index) * 2654435761u >> 7) & 0x0FFF);
}

int64_t rawIndex(int64_t row, int64_t column) { return row * kSensorWidth + column; }

struct WorkedSample {
    std::size_t hostIndex;
    std::vector<std::pair<int64_t, int64_t>> raw;  // (row, column) summed
};

struct WorkedExample {
    uint32_t mode;
    ReadoutWindow window;
    std::vector<WorkedSample> samples;
};

// Raw positions of every (row, column) in rows x columns.
std::vector<std::pair<int64_t, int64_t>> grid(std::vector<int64_t> rows,
                                              std::vector<int64_t> columns) {
    std::vector<std::pair<int64_t, int64_t>> cells;
    for (int64_t row : rows) {
        for (int64_t column : columns) {
            cells.emplace_back(row, column);
        }
    }
    return cells;
}

const std::vector<WorkedExample> &workedExamples() {
    static const std::vector<WorkedExample> kExamples{
        {4,
         {10, 20, 3, 2},
         {{0, {{22, 10}}},
          {1, {{22, 11}}},
          {2, {{22, 12}}},
          {3, {{21, 10}}},
          {4, {{21, 11}}},
          {5, {{21, 12}}}}},
        {4,
         {0, 0, 2048, 1536},
         {{0, {{1536, 0}}}, {2047, {{1536, 2047}}}, {1535 * 2048 + 2047, {{1, 2047}}}}},
        {4, {5, -1, 3, 4}, {{0, {{3, 5}}}, {3, {{2, 5}}}, {6, {{1, 5}}}, {11, {{0, 7}}}}},
        {4, {-1, 0, 2, 1}, {{0, {{0, 2047}}}, {1, {{1, 0}}}}},
        {4, {7, 3, 21, 5}, {{0, {{8, 7}}}, {20, {{8, 27}}}, {21, {{7, 7}}}, {104, {{4, 27}}}}},
        {3,
         {2, 0, 2, 2},
         {{0, {{2, 4}, {2, 6}}},
          {1, {{2, 6}, {2, 8}}},
          {2, {{1, 4}, {1, 6}}},
          {3, {{1, 6}, {1, 8}}}}},
        {3,
         {0, 0, 1024, 768},
         {{0, {{768, 0}, {768, 2}}},
          {1023, {{768, 2046}, {769, 0}}},
          {767 * 1024 + 1023, {{1, 2046}, {2, 0}}}}},
        {3, {5, 9, 19, 3}, {{18, {{12, 46}, {12, 48}}}, {19, {{11, 10}, {11, 12}}}}},
        {2,
         {10, 20, 4, 4},
         {{0, {{48, 20}, {48, 22}, {46, 20}, {46, 22}}},
          {1, {{48, 21}, {48, 23}, {46, 21}, {46, 23}}},
          {4, {{47, 20}, {47, 22}, {45, 20}, {45, 22}}},
          {5, {{47, 21}, {47, 23}, {45, 21}, {45, 23}}},
          {2, {{48, 24}, {48, 26}, {46, 24}, {46, 26}}},
          {7, {{47, 25}, {47, 27}, {45, 25}, {45, 27}}},
          {8, {{44, 20}, {44, 22}, {42, 20}, {42, 22}}},
          {15, {{43, 25}, {43, 27}, {41, 25}, {41, 27}}}}},
        {2,
         {0, 0, 1024, 768},
         {{0, grid({1536, 1534}, {0, 2})}, {767 * 1024 + 1023, grid({3, 1}, {2045, 2047})}}},
        {1,
         {0, 0, 512, 384},
         {{0, grid({1536, 1534, 1532, 1530}, {0, 2, 4, 6})},
          {383 * 512 + 511, grid({7, 5, 3, 1}, {2041, 2043, 2045, 2047})}}},
        {0,
         {0, 0, 512, 384},
         {{0, grid({768, 766}, {0, 2, 4, 6})},
          {383 * 512 + 511, grid({3, 1}, {2041, 2043, 2045, 2047})}}},
        // Odd positions after one-pixel moves move the raw area by a rows and b columns.
        {2,
         {3, 5, 18, 6},
         {{0, grid({22, 20}, {6, 8})},
          {17, grid({22, 20}, {39, 41})},
          {18 + 1, grid({21, 19}, {7, 9})},
          {5 * 18 + 17, grid({13, 11}, {39, 41})}}},
        {1,
         {1, 3, 20, 4},
         {{0, grid({28, 26, 24, 22}, {4, 6, 8, 10})},
          {3 * 20 + 19, grid({19, 17, 15, 13}, {77, 79, 81, 83})}}},
        {0,
         {3, 1, 20, 4},
         {{0, grid({10, 8}, {12, 14, 16, 18})}, {2 * 20 + 1, grid({6, 4}, {13, 15, 17, 19})}}},
        // Odd sizes: the last column and row are the first of a host cell.
        {2, {2, 2, 5, 3}, {{4, grid({10, 8}, {12, 14})}, {14, grid({6, 4}, {12, 14})}}},
    };
    return kExamples;
}

Frame exampleFrame() {
    Frame frame(kRawFrameBytes);
    for (std::size_t i = 0; i < kRawFrameSamples; ++i) {
        storeSample(frame, static_cast<int64_t>(i), exampleValue(static_cast<int64_t>(i)));
    }
    return frame;
}

TEST(Reference, WorkedExamplesGiveTheListedSums) {
    const Frame frame = exampleFrame();
    for (const WorkedExample &example : workedExamples()) {
        const std::vector<uint16_t> reference =
            referenceImage(example.mode, example.window, frame.data());
        for (const WorkedSample &sample : example.samples) {
            uint32_t sum = 0;
            for (const auto &[row, column] : sample.raw) {
                sum += exampleValue(rawIndex(row, column));
            }
            EXPECT_EQ(reference[sample.hostIndex], sum)
                << "reference " << describe(example.mode, example.window) << " host sample "
                << sample.hostIndex;
        }
    }
}

using WorkedExamples = EveryLevel;

TEST_P(WorkedExamples, MatchTheReference) {
    const Frame frame = exampleFrame();
    for (const WorkedExample &example : workedExamples()) {
        EXPECT_TRUE(matchesReference(level(), example.mode, example.window, frame.data()));
    }
}

using FullWindows = EveryLevel;

TEST_P(FullWindows, EveryModeMatchesTheReferenceOnRandomFrames) {
    for (uint32_t seed : {1u, 2u}) {
        const Frame frame = randomFrame(seed);
        for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
            SCOPED_TRACE("frame seed " + std::to_string(seed));
            EXPECT_TRUE(matchesReference(level(), mode, fullWindow(mode), frame.data()));
        }
    }
}

struct UniformCase {
    uint16_t sample;
    uint16_t expected[5];  // by mode number
};

const UniformCase kUniformCases[] = {
    {0xFFFF, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}},
    {0x8000, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x8000}},
    {0x1000, {0x8000, 0xFFFF, 0x4000, 0x2000, 0x1000}},
    {0x1234, {0x91A0, 0xFFFF, 0x48D0, 0x2468, 0x1234}},
    {0x0001, {8, 16, 4, 2, 1}},
};

TEST(Reference, UniformFullWindowsGiveTheLimitedSums) {
    for (const UniformCase &c : kUniformCases) {
        const Frame frame = uniformFrame(c.sample);
        for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
            const ReadoutWindow window = fullWindow(mode);
            const std::vector<uint16_t> reference = referenceImage(mode, window, frame.data());
            const std::size_t samples = imageSamples(window);
            EXPECT_EQ(std::count(reference.begin(), reference.begin() + samples, c.expected[mode]),
                      static_cast<std::ptrdiff_t>(samples))
                << "sample " << c.sample << ' ' << describe(mode, window);
        }
    }
}

using UniformFrames = EveryLevel;

TEST_P(UniformFrames, FullWindowsMatchTheReference) {
    for (const UniformCase &c : kUniformCases) {
        const Frame frame = uniformFrame(c.sample);
        for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
            EXPECT_TRUE(matchesReference(level(), mode, fullWindow(mode), frame.data()))
                << "sample " << c.sample;
        }
    }
}

// A window's span is exactly what the reference reads: a sample placed at
// either end shows in the image, one placed just beyond does not.
TEST(SampleSpan, IsExactlyWhatTheReferenceReads) {
    std::mt19937 random(7);
    Frame frame(kRawFrameBytes);
    const auto imageWithOneSample = [&](uint32_t mode, const ReadoutWindow &w, int64_t index) {
        storeSample(frame, index, 1);
        const std::vector<uint16_t> image = referenceImage(mode, w, frame.data());
        storeSample(frame, index, 0);
        return std::count(image.begin(), image.begin() + imageSamples(w), 1);
    };
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        for (int n = 0; n < 300; ++n) {
            const ReadoutWindow w{
                static_cast<int32_t>(2 + random() % 300), static_cast<int32_t>(2 + random() % 300),
                static_cast<int32_t>(1 + random() % 40), static_cast<int32_t>(1 + random() % 40)};
            const SampleSpan span = sampleSpan(kBinningModes[mode], w);
            ASSERT_TRUE(insideBuffer(span)) << describe(mode, w);
            EXPECT_GT(imageWithOneSample(mode, w, span.first), 0) << describe(mode, w) << " first";
            EXPECT_GT(imageWithOneSample(mode, w, span.last), 0) << describe(mode, w) << " last";
            EXPECT_EQ(imageWithOneSample(mode, w, span.first - 1), 0)
                << describe(mode, w) << " first - 1";
            EXPECT_EQ(imageWithOneSample(mode, w, span.last + 1), 0)
                << describe(mode, w) << " last + 1";
        }
    }
}

int32_t uniformInt(std::mt19937 &random, int32_t low, int32_t high) {
    return std::uniform_int_distribution<int32_t>(low, high)(random);
}

// Mostly small windows anywhere in and around the frame, some up to the whole
// frame, some touching each edge of the frame, some past the buffer's ends.
ReadoutWindow randomWindow(std::mt19937 &random, uint32_t mode) {
    const ReadoutWindow full = fullWindow(mode);
    const int32_t bufferRows =
        static_cast<int32_t>(kRawFrameSamples / kSensorWidth) / kBinningModes[mode].cellRows;
    const bool large = uniformInt(random, 0, 19) == 0;
    ReadoutWindow w;
    w.width = large ? uniformInt(random, 1, full.width) : uniformInt(random, 1, 40);
    w.height = large ? uniformInt(random, 1, full.height) : uniformInt(random, 1, 40);
    w.x = uniformInt(random, -3, full.width - w.width + 3);
    w.y = uniformInt(random, -3, full.height - w.height + 3);
    switch (uniformInt(random, 0, 9)) {
        case 0:
            w.x = 0;
            break;
        case 1:
            w.y = 0;
            break;
        case 2:
            w.x = full.width - w.width;
            break;
        case 3:
            w.y = full.height - w.height;
            break;
        case 4:
            w.y = bufferRows - w.height + uniformInt(random, -2, 2);
            break;  // the buffer's end
        case 5:
            w.y = -1 - uniformInt(random, 0, 1);
            break;  // before its start
        default:
            break;
    }
    return w;
}

using RandomWindows = EveryLevel;

TEST_P(RandomWindows, EveryModeMatchesTheReference) {
    const Frame frame = randomFrame(3);
    std::mt19937 random(11);
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        int fast = 0;
        int fallback = 0;
        for (int n = 0; n < 2000; ++n) {
            const ReadoutWindow w = randomWindow(random, mode);
            ++(insideBuffer(sampleSpan(kBinningModes[mode], w)) ? fast : fallback);
            EXPECT_TRUE(matchesReference(level(), mode, w, frame.data()));
            if (HasFailure()) {
                return;
            }
        }
        // Both roads were taken.
        EXPECT_GT(fast, 1000) << "mode " << mode;
        EXPECT_GT(fallback, 50) << "mode " << mode;
    }
}

// Windows whose span starts on the buffer's first sample or ends on its last
// take the fast road; one sample further they fall back, and read 0 there.
using BufferEnds = EveryLevel;

TEST_P(BufferEnds, WindowsOnTheEdgeMatchTheReference) {
    const Frame frame = randomFrame(5);
    int exact = 0;
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        const BinningMode &m = kBinningModes[mode];
        const int32_t bufferRows =
            static_cast<int32_t>(kRawFrameSamples / kSensorWidth) / m.cellRows;
        for (int32_t width : {1, 2, 3, 5, 8, 15, 16, 17, 31, 32, 33, 64, 100}) {
            for (int32_t height : {1, 2, 3, 4, 7, 8}) {
                // The span moves by the same step for each unit of x: solve for
                // the x that puts its end on the buffer's end, then try around it.
                const auto windowsAround = [&](int32_t y, auto spanEnd, int64_t target) {
                    const int64_t atZero = spanEnd(sampleSpan(m, {0, y, width, height}));
                    const int64_t step = spanEnd(sampleSpan(m, {1, y, width, height})) - atZero;
                    const int64_t x = (target - atZero) / step;
                    for (int64_t dx = -1; dx <= 1; ++dx) {
                        const ReadoutWindow w{static_cast<int32_t>(x + dx), y, width, height};
                        exact += spanEnd(sampleSpan(m, w)) == target;
                        EXPECT_TRUE(matchesReference(level(), mode, w, frame.data()));
                    }
                };
                for (int32_t y = bufferRows - height - 1; y <= bufferRows - height; ++y) {
                    windowsAround(
                        y, [](const SampleSpan &s) { return s.last; }, kLastSample);
                }
                for (int32_t y = -2; y <= 0; ++y) {
                    windowsAround(
                        y, [](const SampleSpan &s) { return s.first; }, 0);
                }
            }
        }
    }
    EXPECT_GT(exact, 300);
}

struct PlacementCase {
    uint32_t mode;
    ReadoutWindow window;
};

// The vector loops split host rows at 64-byte boundaries of the image. An image
// starting at every sample of a cache line gets the reference's samples, and
// the samples just before and after it keep their value.
using ImagePlacement = EveryLevel;

TEST_P(ImagePlacement, EveryStartWithinACacheLineMatchesTheReference) {
    const Frame frame = randomFrame(6);
    constexpr std::size_t kLineSamples = 32;
    static const PlacementCase kCases[] = {
        {4, {0, 0, 2048, 3}}, {4, {3, 7, 100, 3}}, {4, {5, 5, 33, 2}},  {4, {9, 1, 31, 2}},
        {3, {0, 0, 1024, 3}}, {3, {1, 5, 70, 3}},  {3, {2, 2, 32, 2}},  {3, {4, 3, 95, 2}},
        {2, {2, 4, 70, 4}},   {1, {1, 2, 36, 4}},  {0, {3, 1, 44, 4}},
    };
    for (const PlacementCase &c : kCases) {
        const std::vector<uint16_t> expected = referenceImage(c.mode, c.window, frame.data());
        const std::size_t samples = imageSamples(c.window);
        for (std::size_t offset = 0; offset < kLineSamples; ++offset) {
            std::vector<uint16_t> buffer(samples + 3 * kLineSamples + kGuardSamples, kGuardValue);
            const auto address = reinterpret_cast<std::uintptr_t>(buffer.data());
            const std::size_t lineStart = (64 - address % 64) % 64 / 2;
            uint16_t *image = buffer.data() + lineStart + kLineSamples + offset;
            ASSERT_TRUE(readFrameWith(level(), c.mode, c.window, frame.data(), image));
            const auto first = static_cast<std::size_t>(image - buffer.data());
            for (std::size_t i = 0; i < buffer.size(); ++i) {
                const bool inside = i >= first && i < first + samples;
                const uint16_t want = inside ? expected[i - first] : kGuardValue;
                ASSERT_EQ(buffer[i], want)
                    << simdLevelName(level()) << ' ' << describe(c.mode, c.window)
                    << " image at sample " << offset << " of a line: buffer sample " << i
                    << (inside ? "" : " (outside the image)");
            }
        }
    }
}

struct OddCase {
    uint32_t mode;
    ReadoutWindow window;
};

using EdgeCases = EveryLevel;

TEST_P(EdgeCases, OutOfRangeWindowsAndModes) {
    const Frame frame = randomFrame(9);
    static const OddCase kCases[] = {
        {4, {0, 0, 0, 5}},
        {2, {0, 0, 4, 0}},
        {1, {0, 0, -4, 4}},
        {3, {0, 0, 5, -1}},
        {5, {0, 0, 4, 4}},
        {7, {0, 0, 4, 4}},
        {4, {std::numeric_limits<int32_t>::max() - 1, 0, 3, 2}},
        {3, {std::numeric_limits<int32_t>::min(), 0, 3, 2}},
        {2, {0, std::numeric_limits<int32_t>::max() - 1, 4, 4}},
        {1, {0, std::numeric_limits<int32_t>::min(), 4, 4}},
        {0, {-5, -5, 8, 8}},
        {2, {1, 1, 1, 1}},
        {0, {2, 2, 1, 1}},
        {1, {0, 0, 3, 5}},
    };
    for (const OddCase &c : kCases) {
        EXPECT_TRUE(matchesReference(level(), c.mode, c.window, frame.data()));
    }
}

TEST_P(EdgeCases, NoBufferReadsZero) {
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        const ReadoutWindow w{3, 4, 16, 8};
        const std::vector<uint16_t> reference = referenceImage(mode, w, nullptr);
        EXPECT_EQ(std::count(reference.begin(), reference.begin() + imageSamples(w), 0), 128);
        EXPECT_TRUE(matchesReference(level(), mode, w, nullptr));
    }
}

// The dispatch the driver uses, whether it takes the fast road or is built to
// take the reference for every window.
TEST(ReadFrame, MatchesTheReference) {
    const Frame frame = randomFrame(4);
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        for (const ReadoutWindow &w : {fullWindow(mode), ReadoutWindow{3, 5, 20, 12}}) {
            const std::vector<uint16_t> reference = referenceImage(mode, w, frame.data());
            const std::vector<uint16_t> image =
                convertInto(w, 0, [&](uint16_t *out) { readFrame(mode, w, frame.data(), out); });
            EXPECT_EQ(image, convertInto(w, 0,
                                         [&](uint16_t *out) {
                                             readFrameReference(mode, w, frame.data(), out);
                                         }))
                << describe(mode, w);
            EXPECT_TRUE(
                std::equal(reference.begin(), reference.begin() + imageSamples(w), image.begin()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Level, WorkedExamples, ::testing::ValuesIn(kSimdLevels), levelTestName);
INSTANTIATE_TEST_SUITE_P(Level, FullWindows, ::testing::ValuesIn(kSimdLevels), levelTestName);
INSTANTIATE_TEST_SUITE_P(Level, UniformFrames, ::testing::ValuesIn(kSimdLevels), levelTestName);
INSTANTIATE_TEST_SUITE_P(Level, RandomWindows, ::testing::ValuesIn(kSimdLevels), levelTestName);
INSTANTIATE_TEST_SUITE_P(Level, BufferEnds, ::testing::ValuesIn(kSimdLevels), levelTestName);
INSTANTIATE_TEST_SUITE_P(Level, ImagePlacement, ::testing::ValuesIn(kSimdLevels), levelTestName);
INSTANTIATE_TEST_SUITE_P(Level, EdgeCases, ::testing::ValuesIn(kSimdLevels), levelTestName);

}  // namespace
