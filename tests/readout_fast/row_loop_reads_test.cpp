// Every load and prefetch of the row loops, at every instruction set, stays
// inside the bytes the window reads: on each raw row, from the first to the last
// sample the reference reads there. So none leaves the frame buffer. Prefetches
// and masked loads neither fault nor show to a sanitizer, so this test links
// the traced build of the readout (row_loop_trace.h), which reports each
// address here before it is used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "readout/binning_mode.h"
#include "readout/frame_geometry.h"
#include "readout/readout.h"
#include "readout/readout_fast.h"
#include "readout/window.h"
#include "tests/readout_fast/every_level.h"

namespace {

constexpr int64_t kLastSample = static_cast<int64_t>(kRawFrameSamples) - 1;

int64_t sampleIndex(int64_t row, int64_t column) { return row * kSensorWidth + column; }

// Byte ranges [begin, end) of the frame buffer, counted from its start.
class ReadArea {
public:
    // Samples first to last of one raw row.
    void addSamples(int64_t first, int64_t last) { ranges_.emplace_back(2 * first, 2 * last + 2); }

    void merge() {
        std::sort(ranges_.begin(), ranges_.end());
        std::vector<std::pair<int64_t, int64_t>> merged;
        for (const auto &range : ranges_) {
            if (!merged.empty() && range.first <= merged.back().second) {
                merged.back().second = std::max(merged.back().second, range.second);
            } else {
                merged.push_back(range);
            }
        }
        ranges_ = std::move(merged);
    }

    // True when bytes [offset, offset + bytes) lie in one range; a read of no
    // bytes (a load with every lane masked) may also point just past a range.
    bool covers(int64_t offset, std::size_t bytes) const {
        const auto after = std::upper_bound(ranges_.begin(), ranges_.end(),
                                            std::pair{offset, INT64_MAX});
        if (after == ranges_.begin()) {
            return false;
        }
        const auto &range = *(after - 1);
        const int64_t end = offset + static_cast<int64_t>(bytes);
        return bytes == 0 ? offset <= range.second : end <= range.second;
    }

private:
    std::vector<std::pair<int64_t, int64_t>> ranges_;
};

// What the reference reads for each host row h, from its own formulas: raw row
// top - h (straight copy, pair sums), or the a rows 2 apart from the anchor row
// a top - 2a (h / 2) - h % 2 (Bayer cells); on each, the columns from the
// window's first host sample to its last.
ReadArea readArea(const BinningMode &mode, const ReadoutWindow &w) {
    const int64_t top = static_cast<int64_t>(w.y) + w.height;
    const int64_t left = w.x;
    const int64_t last = w.width - 1;
    ReadArea area;
    for (int64_t h = 0; h < w.height; ++h) {
        switch (mode.conversion) {
            case Conversion::StraightCopy:
                area.addSamples(sampleIndex(top - h, left), sampleIndex(top - h, left + last));
                break;
            case Conversion::PairSum:
                area.addSamples(sampleIndex(top - h, 2 * left),
                                sampleIndex(top - h, 2 * left + 2 * last + 2));
                break;
            case Conversion::BayerCells: {
                const int64_t a = mode.cellRows;
                const int64_t b = mode.cellColumns;
                const int64_t anchorRow = a * top - 2 * a * (h / 2) - h % 2;
                const int64_t lastColumn = b * left + 2 * b * (last / 2) + last % 2 + 2 * b - 2;
                for (int64_t dy = 0; dy < 2 * a; dy += 2) {
                    area.addSamples(sampleIndex(anchorRow - dy, b * left),
                                    sampleIndex(anchorRow - dy, lastColumn));
                }
                break;
            }
        }
    }
    area.merge();
    return area;
}

// The reads of the conversion under way, checked as the traced loops report them.
struct ReadCheck {
    const uint8_t *raw = nullptr;
    const ReadArea *area = nullptr;
    std::size_t reads = 0;
    std::size_t strays = 0;
    int64_t firstStray = 0;
    std::size_t firstStrayBytes = 0;
};

ReadCheck check;

}  // namespace

void traceRowLoopRead(const uint8_t *address, std::size_t bytes) {
    if (check.area == nullptr) {
        return;
    }
    ++check.reads;
    // Integer arithmetic: the address under test may lie outside the buffer.
    const auto offset = static_cast<int64_t>(reinterpret_cast<std::uintptr_t>(address) -
                                             reinterpret_cast<std::uintptr_t>(check.raw));
    if (!check.area->covers(offset, bytes) && check.strays++ == 0) {
        check.firstStray = offset;
        check.firstStrayBytes = bytes;
    }
}

namespace {

std::string describe(uint32_t mode, const ReadoutWindow &w) {
    std::ostringstream text;
    text << "mode " << mode << " window x " << w.x << " y " << w.y << " width " << w.width
         << " height " << w.height;
    return text.str();
}

std::string describeOffset(int64_t offset) {
    const auto size = static_cast<int64_t>(kRawFrameBytes);
    if (offset >= size) {
        return std::to_string(offset - size) + " bytes past the buffer's end";
    }
    if (offset < 0) {
        return std::to_string(-offset) + " bytes before the buffer's start";
    }
    return "byte " + std::to_string(offset) + " of the buffer (raw row " +
           std::to_string(offset / static_cast<int64_t>(kRawRowBytes)) + ", sample " +
           std::to_string(offset % static_cast<int64_t>(kRawRowBytes) / 2) + ")";
}

bool insideBuffer(const SampleSpan &span) { return span.first >= 0 && span.last <= kLastSample; }

ReadoutWindow fullWindow(uint32_t mode) {
    const uint32_t factor = kBinningModes[mode].binFactor;
    return {0, 0, static_cast<int32_t>(kSensorWidth / factor),
            static_cast<int32_t>(kSensorHeight / factor)};
}

// Around every step width of the loops (8 to 64 samples, 64-byte lines) and
// below the 512 bytes the copy prefetches of a row.
constexpr int32_t kWidths[] = {1,  2,  3,  4,  5,   7,   8,   9,   15,  16,  17,  31,  32,
                               33, 47, 48, 63, 64,  65,  95,  96,  127, 128, 129, 200, 255,
                               256, 257, 300, 511, 512};
constexpr int32_t kHeights[] = {1, 2, 3, 5};

// Windows inside the buffer whose reads end on its last sample (or as near as
// the step of x allows), start on its first, or touch the frame's left or
// right edge halfway up.
std::vector<ReadoutWindow> edgeWindows(uint32_t mode) {
    const BinningMode &m = kBinningModes[mode];
    const ReadoutWindow full = fullWindow(mode);
    const int32_t bufferRows = static_cast<int32_t>(kRawFrameSamples / kSensorWidth) / m.cellRows;
    std::vector<ReadoutWindow> windows{full};
    for (int32_t width : kWidths) {
        for (int32_t height : kHeights) {
            if (width > full.width) {
                continue;
            }
            const auto around = [&](int32_t y, auto spanEnd, int64_t target) {
                const int64_t atZero = spanEnd(sampleSpan(m, {0, y, width, height}));
                const int64_t step = spanEnd(sampleSpan(m, {1, y, width, height})) - atZero;
                const int64_t x = (target - atZero) / step;
                for (int64_t dx = -1; dx <= 1; ++dx) {
                    windows.push_back({static_cast<int32_t>(x + dx), y, width, height});
                }
            };
            for (int32_t y = bufferRows - height - 1; y <= bufferRows - height; ++y) {
                around(y, [](const SampleSpan &s) { return s.last; }, kLastSample);
            }
            around(0, [](const SampleSpan &s) { return s.first; }, 0);
            windows.push_back({full.width - width, full.height / 2, width, height});
            windows.push_back({0, full.height / 2, width, height});
        }
    }
    std::erase_if(windows, [&](const ReadoutWindow &w) { return !insideBuffer(sampleSpan(m, w)); });
    return windows;
}

using RowLoopReads = EveryLevel;

TEST_P(RowLoopReads, StayInsideTheWindowsRawArea) {
    const std::vector<uint8_t> frame(kRawFrameBytes, 0x5A);
    int atBufferEnd = 0;
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        for (const ReadoutWindow &w : edgeWindows(mode)) {
            atBufferEnd += sampleSpan(kBinningModes[mode], w).last == kLastSample;
            const ReadArea area = readArea(kBinningModes[mode], w);
            const auto samples = static_cast<std::size_t>(w.width) * w.height;
            std::vector<uint16_t> buffer(samples + 64);
            const auto address = reinterpret_cast<std::uintptr_t>(buffer.data());
            uint16_t *lineStart = buffer.data() + (64 - address % 64) % 64 / 2;
            // The vector loops split each host row where the image crosses a line.
            for (std::size_t imageOffset : {0, 1, 31}) {
                check = {.raw = frame.data(), .area = &area};
                const bool ran =
                    readFrameWith(level(), mode, w, frame.data(), lineStart + imageOffset);
                check.area = nullptr;
                ASSERT_TRUE(ran);
                ASSERT_GT(check.reads, 0u) << describe(mode, w) << ": no read traced";
                ASSERT_EQ(check.strays, 0u)
                    << simdLevelName(level()) << ' ' << describe(mode, w) << ", image at sample "
                    << imageOffset << " of a line: " << check.strays << " of " << check.reads
                    << " reads outside the window's raw area, the first of "
                    << check.firstStrayBytes << " bytes at " << describeOffset(check.firstStray);
            }
        }
    }
    // Every mode has windows on the buffer's last sample.
    EXPECT_GT(atBufferEnd, 5 * 50);
}

INSTANTIATE_TEST_SUITE_P(Level, RowLoopReads, ::testing::ValuesIn(kSimdLevels), levelTestName);

}  // namespace
