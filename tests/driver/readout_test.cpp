// d_ReadImage through the exports, against the worked examples and against a
// model that walks the frame the way the conversions are described: anchors
// stepping through the buffer, with every position outside it reading as 0.
#include <algorithm>
#include <array>
#include <random>

#include "tests/driver/driver_fixture.h"

namespace {

constexpr uint16_t kGuard = 0xA5C3;
constexpr size_t kGuardSamples = 64;

struct Window {
    int32_t x, y, width, height;
};

std::string describe(uint32_t mode, const Window &w) {
    return "mode " + std::to_string(mode) + " window " + std::to_string(w.x) + "," +
           std::to_string(w.y) + "," + std::to_string(w.width) + "," + std::to_string(w.height);
}

uint32_t rawAt(const uint8_t *raw, int64_t index) {
    if (index < 0 || index >= static_cast<int64_t>(kRawFrameSamples)) return 0;
    return raw[2 * index] * 256u + raw[2 * index + 1];
}

uint32_t rawAt(const uint8_t *raw, int64_t row, int64_t column) {
    return rawAt(raw, row * 2048 + column);
}

void setRaw(uint8_t *raw, int64_t row, int64_t column, uint16_t value) {
    const int64_t index = row * 2048 + column;
    raw[2 * index] = static_cast<uint8_t>(value >> 8);
    raw[2 * index + 1] = static_cast<uint8_t>(value);
}

uint16_t limited(uint32_t sum) { return static_cast<uint16_t>(std::min<uint32_t>(sum, 0xFFFF)); }

// The model: modes 4 and 3 walk raw rows from windowY + windowHeight down; modes
// 2, 1 and 0 build 2 x 2 host cells from a x b Bayer cells around an anchor.
std::vector<uint16_t> modelImage(const uint8_t *raw, uint32_t mode, const Window &w) {
    std::vector<uint16_t> image(static_cast<size_t>(w.width) * w.height);
    if (mode == 4 || mode == 3) {
        const int64_t columnStep = mode == 4 ? 1 : 2;
        size_t out = 0;
        for (int64_t r = 0; r < w.height; ++r) {
            int64_t index = (static_cast<int64_t>(w.y) + w.height - r) * 2048 + columnStep * w.x;
            for (int64_t c = 0; c < w.width; ++c, index += columnStep) {
                image[out++] = mode == 4 ? static_cast<uint16_t>(rawAt(raw, index))
                                         : limited(rawAt(raw, index) + rawAt(raw, index + 2));
            }
        }
        return image;
    }
    const int64_t a = mode == 1 ? 4 : 2;
    const int64_t b = mode == 2 ? 2 : 4;
    int64_t rowPairStart = a * (static_cast<int64_t>(w.y) + w.height) * 2048 + b * w.x;
    size_t out = 0;
    for (int64_t pair = 0; pair < w.height; pair += 2, rowPairStart -= 2 * a * 2048) {
        int64_t anchor = rowPairStart;
        for (int64_t column = 0; column < w.width; column += 2, anchor += 2 * b, out += 2) {
            uint32_t sums[4] = {};
            for (int64_t dy = 0; dy < 2 * a; dy += 2) {
                for (int64_t dx = 0; dx < 2 * b; dx += 2) {
                    const int64_t p = anchor - 2048 * dy + dx;
                    sums[0] += rawAt(raw, p);
                    sums[1] += rawAt(raw, p + 1);
                    sums[2] += rawAt(raw, p - 2048);
                    sums[3] += rawAt(raw, p - 2047);
                }
            }
            image[out] = limited(sums[0]);
            image[out + 1] = limited(sums[1]);
            image[out + w.width] = limited(sums[2]);
            image[out + w.width + 1] = limited(sums[3]);
        }
        out += w.width;
    }
    return image;
}

void fillRandom(uint8_t *raw, uint32_t seed, uint16_t mask) {
    std::mt19937 random(seed);
    for (size_t i = 0; i < kRawFrameSamples; ++i) {
        const auto value = static_cast<uint16_t>(random() & mask);
        raw[2 * i] = static_cast<uint8_t>(value >> 8);
        raw[2 * i + 1] = static_cast<uint8_t>(value);
    }
}

constexpr int32_t kMultiple[5] = {4, 4, 2, 2, 1};
constexpr int32_t kFactor[5] = {4, 4, 2, 2, 1};

class ReadoutTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        raw_ = connect();
        ASSERT_NE(raw_, nullptr);
    }

    // Sets the window through d_Subframe and one-pixel moves, as a host would.
    // width and height must be multiples of the mode's rounding; x and y may be
    // anything reachable by moves from a rounded origin.
    void setWindow(uint32_t mode, const Window &w) {
        const int32_t multiple = kMultiple[mode];
        const int64_t binnedWidth = 2048 / kFactor[mode];
        const int64_t binnedHeight = 1536 / kFactor[mode];
        const int32_t x0 = std::max(0, w.x) / multiple * multiple;
        const int32_t y0 = std::max(0, w.y) / multiple * multiple;
        ASSERT_EQ(d().Subframe(hostUnits(x0, binnedWidth), hostUnits(y0, binnedHeight),
                               hostUnits(w.width, binnedWidth), hostUnits(w.height, binnedHeight),
                               mode), 1);
        ASSERT_EQ(d().GetWidth(0), w.width) << describe(mode, w);
        ASSERT_EQ(d().GetHeight(0), w.height) << describe(mode, w);
        for (int32_t x = x0; x != w.x; x += x < w.x ? 1 : -1) d().MoveFrame(x < w.x ? 4 : 3);
        for (int32_t y = y0; y != w.y; y += y < w.y ? 1 : -1) d().MoveFrame(y < w.y ? 1 : 2);
    }

    // Reads the image into a buffer with guard samples after it; checks the guards.
    std::vector<uint16_t> readImage(const std::string &label) {
        const size_t samples = static_cast<size_t>(d().GetWidth(0)) * d().GetHeight(0);
        std::vector<uint16_t> buffer(samples + kGuardSamples, kGuard);
        EXPECT_EQ(d().ReadImage(buffer.data()), 1);
        for (size_t i = samples; i < buffer.size(); ++i) {
            if (buffer[i] != kGuard) {
                ADD_FAILURE() << label << ": wrote past the image at sample " << i;
                break;
            }
        }
        buffer.resize(samples);
        return buffer;
    }

    void expectModelImage(uint32_t mode, const Window &w) {
        setWindow(mode, w);
        if (HasFatalFailure()) return;
        expectImageOfWindow(mode, w);
    }

    // The image read with the window the driver holds now matches the model's of w.
    void expectImageOfWindow(uint32_t mode, const Window &w) {
        const std::string label = describe(mode, w);
        const std::vector<uint16_t> image = readImage(label);
        const std::vector<uint16_t> model = modelImage(raw_, mode, w);
        const auto mismatch = std::mismatch(image.begin(), image.end(), model.begin());
        if (mismatch.first != image.end()) {
            const auto at = mismatch.first - image.begin();
            ADD_FAILURE() << label << ": sample " << at << " (row " << at / w.width << ", column "
                          << at % w.width << ") is " << *mismatch.first << ", expected "
                          << *mismatch.second;
        }
    }

    uint8_t *raw_ = nullptr;
};

struct RawPosition {
    int32_t row, column;
};

TEST_F(ReadoutTest, WorkedExamples) {
    const struct {
        uint32_t mode;
        Window window;
        int32_t hostRow, hostColumn;
        std::vector<RawPosition> summed;
    } cases[] = {
        {4, {10, 20, 3, 2}, 0, 0, {{22, 10}}},
        {4, {10, 20, 3, 2}, 0, 2, {{22, 12}}},
        {4, {10, 20, 3, 2}, 1, 0, {{21, 10}}},
        {4, {10, 20, 3, 2}, 1, 2, {{21, 12}}},
        {4, {0, 0, 2048, 1536}, 0, 0, {{1536, 0}}},
        {4, {0, 0, 2048, 1536}, 1535, 2047, {{1, 2047}}},
        {4, {0, -1, 8, 4}, 0, 5, {{3, 5}}},
        {4, {0, -1, 8, 4}, 3, 5, {{0, 5}}},
        {4, {-1, 0, 2, 1}, 0, 0, {{0, 2047}}},
        {4, {-1, 0, 2, 1}, 0, 1, {{1, 0}}},
        {3, {2, 0, 2, 2}, 0, 0, {{2, 4}, {2, 6}}},
        {3, {2, 0, 2, 2}, 0, 1, {{2, 6}, {2, 8}}},
        {3, {2, 0, 2, 2}, 1, 0, {{1, 4}, {1, 6}}},
        {3, {2, 0, 2, 2}, 1, 1, {{1, 6}, {1, 8}}},
        {3, {0, 0, 1024, 768}, 0, 1023, {{768, 2046}, {769, 0}}},
        {3, {0, 0, 1024, 768}, 767, 0, {{1, 0}, {1, 2}}},
        {2, {10, 20, 4, 4}, 0, 0, {{48, 20}, {48, 22}, {46, 20}, {46, 22}}},
        {2, {10, 20, 4, 4}, 0, 1, {{48, 21}, {48, 23}, {46, 21}, {46, 23}}},
        {2, {10, 20, 4, 4}, 1, 0, {{47, 20}, {47, 22}, {45, 20}, {45, 22}}},
        {2, {10, 20, 4, 4}, 1, 1, {{47, 21}, {47, 23}, {45, 21}, {45, 23}}},
        {2, {10, 20, 4, 4}, 0, 2, {{48, 24}, {48, 26}, {46, 24}, {46, 26}}},
        {2, {10, 20, 4, 4}, 1, 3, {{47, 25}, {47, 27}, {45, 25}, {45, 27}}},
        {2, {10, 20, 4, 4}, 2, 0, {{44, 20}, {44, 22}, {42, 20}, {42, 22}}},
        {2, {10, 20, 4, 4}, 3, 3, {{43, 25}, {43, 27}, {41, 25}, {41, 27}}},
        {1, {0, 0, 512, 384}, 0, 0,
         {{1536, 0}, {1536, 2}, {1536, 4}, {1536, 6}, {1534, 0}, {1534, 2}, {1534, 4}, {1534, 6},
          {1532, 0}, {1532, 2}, {1532, 4}, {1532, 6}, {1530, 0}, {1530, 2}, {1530, 4}, {1530, 6}}},
        {0, {0, 0, 512, 384}, 0, 0,
         {{768, 0}, {768, 2}, {768, 4}, {768, 6}, {766, 0}, {766, 2}, {766, 4}, {766, 6}}},
        {0, {0, 0, 512, 384}, 383, 511,
         {{3, 2041}, {3, 2043}, {3, 2045}, {3, 2047}, {1, 2041}, {1, 2043}, {1, 2045}, {1, 2047}}},
    };
    fillRandom(raw_, 7, 0x0FFF);  // 16 samples of at most 4095 never reach the limit
    for (const auto &c : cases) {
        const std::string label = describe(c.mode, c.window) + " host (" +
                                  std::to_string(c.hostRow) + "," + std::to_string(c.hostColumn) + ")";
        setWindow(c.mode, c.window);
        ASSERT_FALSE(HasFatalFailure()) << label;
        const std::vector<uint16_t> image = readImage(label);
        uint32_t expected = 0;
        for (const RawPosition &p : c.summed) expected += rawAt(raw_, p.row, p.column);
        EXPECT_EQ(image[c.hostRow * c.window.width + c.hostColumn], expected) << label;
    }
}

// Origins scaled from host units (truncated, then rounded down to the mode's
// multiple) are seen only through the pixels the image takes.
TEST_F(ReadoutTest, SubframeOriginsPlaceTheImage) {
    const struct {
        uint32_t x, y, width, height, mode;
        Window window;
    } cases[] = {
        {12345, 33333, 50000, 50000, 0, {60, 124, 256, 192}},
        {12345, 33333, 50000, 50000, 3, {126, 254, 512, 384}},
        {12345, 33333, 50000, 50000, 4, {252, 511, 1024, 768}},
        {0xFFFFFFFFu, 0, 1000, 1000, 4, {42949, 0, 20, 15}},  // 2048 x that wraps to 2^32 - 2048
    };
    fillRandom(raw_, 11, 0x1FFF);  // eight samples of at most 8191 stay below the limit
    for (const auto &c : cases) {
        ASSERT_EQ(d().Subframe(c.x, c.y, c.width, c.height, c.mode), 1);
        ASSERT_EQ(d().GetWidth(0), c.window.width) << describe(c.mode, c.window);
        ASSERT_EQ(d().GetHeight(0), c.window.height) << describe(c.mode, c.window);
        expectImageOfWindow(c.mode, c.window);
    }
}

TEST_F(ReadoutTest, RowsBelowTheWindowAreNotRead) {
    const struct {
        uint32_t mode;
        Window window;
        int32_t unreadRow;  // raw row windowY x a, just below the window's raw area
    } cases[] = {
        {4, {10, 20, 3, 2}, 20}, {3, {2, 0, 2, 2}, 0}, {2, {0, 0, 1024, 768}, 0},
        {1, {0, 0, 512, 384}, 0}, {0, {0, 0, 512, 384}, 0}, {2, {4, 10, 8, 8}, 20},
    };
    for (const auto &c : cases) {
        fillRandom(raw_, 11, 0x00FF);
        for (int32_t column = 0; column < 2048; ++column) setRaw(raw_, c.unreadRow, column, 0xFFFF);
        setWindow(c.mode, c.window);
        for (uint16_t sample : readImage(describe(c.mode, c.window))) {
            ASSERT_LT(sample, 16 * 0x100) << describe(c.mode, c.window) << " read raw row " << c.unreadRow;
        }
    }
}

TEST_F(ReadoutTest, UniformFramesSumAndSaturate) {
    const struct {
        uint8_t high, low;
        uint16_t expected[5];  // per mode 0..4
    } cases[] = {
        {0x10, 0x00, {32768, 65535, 16384, 8192, 4096}},
        {0x80, 0x00, {65535, 65535, 65535, 65535, 32768}},
        {0xFF, 0xFF, {65535, 65535, 65535, 65535, 65535}},
        {0x00, 0x01, {8, 16, 4, 2, 1}},
        {0x1F, 0xFF, {65528, 65535, 32764, 16382, 8191}},
        {0x0F, 0xFF, {32760, 65520, 16380, 8190, 4095}},
        {0x12, 0x34, {37280, 65535, 0x48D0, 0x2468, 0x1234}},
    };
    const Window full[5] = {{0, 0, 512, 384}, {0, 0, 512, 384}, {0, 0, 1024, 768},
                            {0, 0, 1024, 768}, {0, 0, 2048, 1536}};
    for (const auto &c : cases) {
        for (size_t i = 0; i < kRawFrameSamples; ++i) {
            raw_[2 * i] = c.high;
            raw_[2 * i + 1] = c.low;
        }
        for (uint32_t mode = 0; mode < 5; ++mode) {
            setWindow(mode, full[mode]);
            const std::vector<uint16_t> image = readImage(describe(mode, full[mode]));
            const auto wrong = std::find_if(image.begin(), image.end(),
                                            [&](uint16_t s) { return s != c.expected[mode]; });
            EXPECT_EQ(wrong, image.end()) << "bytes " << int(c.high) << "," << int(c.low) << " mode "
                                          << mode << ": " << *wrong << " at " << wrong - image.begin();
        }
    }
}

TEST_F(ReadoutTest, SumsAtTheLimit) {
    const struct {
        uint32_t mode;
        std::vector<uint16_t> values;  // placed at the positions summed into host (0, 0)
        uint16_t expected;
    } cases[] = {
        {3, {0x1234, 0x0001}, 0x1235},
        {3, {0x7FFF, 0x8000}, 0xFFFF},
        {3, {0x8000, 0x8000}, 0xFFFF},
        {3, {0xFFFF, 0xFFFF}, 0xFFFF},
        {3, {0xFFFE, 0x0001}, 0xFFFF},
        {3, {0xFFFE, 0x0000}, 0xFFFE},
        {2, {0x8000, 0x8000, 0, 0}, 0xFFFF},
        {2, {0x4000, 0x4000, 0x4000, 0x3FFF}, 0xFFFF},
        {2, {0x4000, 0x4000, 0x4000, 0x4000}, 0xFFFF},
        {2, {0x4000, 0x4000, 0x4000, 0x3FFE}, 0xFFFE},
        {2, {0xFFFF, 0, 0, 0}, 0xFFFF},
        {0, {0xFFFF, 0, 0, 0, 0, 0, 0, 0}, 0xFFFF},
        {1, {0xFFFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0xFFFF},
        {1, {0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000,
             0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x0FFF}, 0xFFFF},
        {1, {0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000,
             0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x1000, 0x0FFF, 0x0FFF}, 0xFFFE},
    };
    for (const auto &c : cases) {
        std::fill(raw_, raw_ + kRawFrameBytes, 0);
        // Host (0, 0) of a window at the origin of height h sums raw rows from
        // a x h downwards at even distances, columns from 0 rightwards.
        const int32_t a = c.mode == 1 ? 4 : c.mode == 3 ? 1 : 2;
        const int32_t b = c.mode == 2 || c.mode == 3 ? 2 : 4;
        const Window w{0, 0, 4, 4};
        size_t next = 0;
        for (int32_t dy = 0; dy < (c.mode == 3 ? 1 : 2 * a); dy += 2) {
            for (int32_t dx = 0; dx < 2 * b && next < c.values.size(); dx += 2) {
                setRaw(raw_, a * w.height - dy, dx, c.values[next++]);
            }
        }
        ASSERT_EQ(next, c.values.size()) << "mode " << c.mode;
        setWindow(c.mode, w);
        EXPECT_EQ(readImage(describe(c.mode, w))[0], c.expected) << "mode " << c.mode << " first value "
                                                               << c.values[0];
    }
}

TEST_F(ReadoutTest, FullWindowsMatchTheModel) {
    fillRandom(raw_, 1, 0xFFFF);
    expectModelImage(0, {0, 0, 512, 384});
    expectModelImage(1, {0, 0, 512, 384});
    expectModelImage(2, {0, 0, 1024, 768});
    expectModelImage(3, {0, 0, 1024, 768});
    expectModelImage(4, {0, 0, 2048, 1536});
}

TEST_F(ReadoutTest, WindowsPastEveryEdgeReadZerosOutsideTheBuffer) {
    fillRandom(raw_, 3, 0xFFFF);
    for (uint32_t mode = 0; mode < 5; ++mode) {
        const int32_t m = kMultiple[mode];
        const int32_t binnedWidth = 2048 / kFactor[mode];
        const int32_t binnedHeight = 1536 / kFactor[mode];
        const Window cases[] = {
            {-1, 0, 4 * m, 4 * m},                              // left of column 0
            {-3, -2, 8 * m, 2 * m},                             // left and below row 0
            {0, -5, 2 * m, 8 * m},                              // rows before the buffer
            {binnedWidth - 2 * m, 0, 4 * m, 2 * m},             // past the right edge
            {binnedWidth + 1, binnedHeight + 1, 2 * m, 2 * m},  // beyond the sensor
            {0, binnedHeight - 2 * m, 2 * m, 8 * m},            // past the frame's end
            {0, 0, binnedWidth, binnedHeight + 4 * m},          // taller than the buffer
            {0, 1653 / kFactor[mode], 4 * m, 4 * m},            // straddles the buffer's last sample
            {4 * binnedWidth, 4 * binnedHeight, 4 * m, 4 * m},  // wholly outside
            {1, 1, binnedWidth, binnedHeight},                  // full window moved by one
            {-1, -1, binnedWidth, binnedHeight},
        };
        for (const Window &w : cases) expectModelImage(mode, w);
    }
}

TEST_F(ReadoutTest, RandomWindowsMatchTheModel) {
    fillRandom(raw_, 5, 0xFFFF);
    std::mt19937 random(12345);
    for (uint32_t mode = 0; mode < 5; ++mode) {
        const int32_t m = kMultiple[mode];
        const int32_t binnedWidth = 2048 / kFactor[mode];
        const int32_t binnedHeight = 1536 / kFactor[mode];
        for (int i = 0; i < 120; ++i) {
            // Mostly small windows anywhere (many edges), some large ones.
            const bool large = i % 8 == 0;
            const int32_t maxWidth = large ? binnedWidth : std::max(m, binnedWidth / 16);
            const int32_t maxHeight = large ? binnedHeight : std::max(m, binnedHeight / 16);
            const int32_t width = static_cast<int32_t>(random() % (maxWidth / m + 1)) * m;
            const int32_t height = static_cast<int32_t>(random() % (maxHeight / m + 1)) * m;
            const int32_t x = static_cast<int32_t>(random() % (binnedWidth + 2 * m)) - m;
            const int32_t y = static_cast<int32_t>(random() % (binnedHeight + 2 * m)) - m;
            expectModelImage(mode, {x, y, width, height});
            if (HasFailure()) return;
        }
    }
}

TEST_F(ReadoutTest, EmptyWindowsWriteNothing) {
    fillRandom(raw_, 9, 0xFFFF);
    const struct {
        uint32_t mode;
        uint32_t width, height;  // host units
    } cases[] = {{4, 48, 100000}, {4, 100000, 65}, {0, 781, 100000}, {1, 100000, 1041},
                 {2, 97, 100000}, {3, 100000, 130}, {2, 0, 0}};
    for (const auto &c : cases) {
        ASSERT_EQ(d().Subframe(0, 0, c.width, c.height, c.mode), 1);
        ASSERT_EQ(static_cast<int64_t>(d().GetWidth(0)) * d().GetHeight(0), 0) << "mode " << c.mode;
        readImage("empty window, mode " + std::to_string(c.mode));
    }
}

TEST_F(ReadoutTest, RepeatedReadsAreIdenticalAndChangeNothing) {
    fillRandom(raw_, 13, 0xFFFF);
    setWindow(2, {6, 8, 100, 60});
    calls().clear();
    const std::vector<uint16_t> first = readImage("first");
    const std::vector<uint16_t> second = readImage("second");
    EXPECT_EQ(first, second);
    EXPECT_EQ(d().ReadImage(nullptr), 1);  // no image, nothing written, no crash
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(d().GetWidth(0), 100);
    EXPECT_EQ(d().GetHeight(0), 60);
    EXPECT_EQ(d().IsExposing(), 0);
}

TEST_F(ReadoutTest, OneStepMovesShiftTheRawAreaByTheReadoutFactor) {
    fillRandom(raw_, 17, 0x0FFF);
    const struct {
        uint32_t mode;
        int32_t columnsPerStep, rowsPerStep;
    } cases[] = {{4, 1, 1}, {3, 2, 1}, {2, 2, 2}, {1, 4, 4}, {0, 4, 2}};
    for (const auto &c : cases) {
        const int32_t m = kMultiple[c.mode];
        setWindow(c.mode, {4 * m, 4 * m, 4 * m, 4 * m});
        const std::vector<uint16_t> before = readImage("before");
        // Moving right then up by one: the image of the moved window equals the
        // model of the window one step further, with the same colour phase.
        d().MoveFrame(4);
        d().MoveFrame(2);
        const Window moved{4 * m + 1, 4 * m - 1, 4 * m, 4 * m};
        EXPECT_EQ(readImage("moved"), modelImage(raw_, c.mode, moved)) << describe(c.mode, moved);
        // Host (0, 0) of the moved window reads the raw sample rowsPerStep lower
        // and columnsPerStep further right than before.
        if (c.mode == 4) {
            EXPECT_EQ(readImage("moved")[0], rawAt(raw_, 4 * m + 4 * m - 1, 4 * m + 1));
        }
        EXPECT_NE(before, readImage("moved")) << "mode " << c.mode;
    }
}

}  // namespace
