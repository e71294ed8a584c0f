// The frame plan against the simulated camera: every subframe, read through its
// planned window and cut, is exactly that part of the mode's full frame, and
// its colour pattern is the full frame's at the subframe's origin.
#include "host/frame_plan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "host/bayer_pattern.h"
#include "host/driver_api.h"
#include "host/host_session.h"
#include "tests/support/simulated_camera_suite.h"

namespace {

constexpr char kSeed[] = "4242";

class FramePlanOnCamera : public SimulatedCameraSuite<kSeed, true> {
protected:
    // One 10 ms exposure of the window, as delivered.
    static std::vector<uint16_t> expose(uint32_t mode, const PixelWindow &window) {
        const DriverApi &api = SimulatedCameraSuite::api();
        std::string error;
        EXPECT_TRUE(selectWindow(api, mode, window, geometryOf(kCameraModes[mode]), error))
            << error;
        EXPECT_EQ(api.StartExposure(10, 0), 1);
        // Rendering takes tens of milliseconds; a pending poll pauses 200.
        std::this_thread::sleep_for(std::chrono::milliseconds(70));
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (api.IsExposing() != 0 && std::chrono::steady_clock::now() < limit) {
        }
        std::vector<uint16_t> image(static_cast<size_t>(window.width) * window.height);
        downloadImage(api, image);
        return image;
    }

    static const std::vector<uint16_t> &fullFrame(uint32_t mode) {
        static std::map<uint32_t, std::vector<uint16_t>> frames;
        auto found = frames.find(mode);
        if (found == frames.end()) {
            const Subframe full = fullSubframe(kCameraModes[mode]);
            found = frames.emplace(mode, expose(mode, {0, 0, full.width, full.height})).first;
        }
        return found->second;
    }
};

std::string describe(uint32_t mode, const Subframe &s) {
    return "mode " + std::to_string(mode) + " subframe " + std::to_string(s.x) + "," +
           std::to_string(s.y) + " " + std::to_string(s.width) + "x" + std::to_string(s.height);
}

}  // namespace

TEST_F(FramePlanOnCamera, EverySubframeIsThatCropOfTheFullFrame) {
    const struct {
        uint32_t mode;
        Subframe subframe;
    } cases[] = {
        {4, {0, 0, 2048, 1536}},     {4, {0, 0, 1, 1}},           {4, {2047, 1535, 1, 1}},
        {4, {1, 1, 3, 3}},           {4, {301, 200, 65, 47}},     {4, {0, 1535, 2048, 1}},
        {2, {0, 0, 1024, 768}},      {2, {1, 1, 1, 1}},           {2, {101, 57, 33, 20}},
        {2, {1023, 767, 1, 1}},      {1, {3, 1, 5, 7}},           {1, {0, 381, 512, 3}},
        {1, {509, 0, 3, 384}},       {0, {2, 3, 9, 10}},          {0, {511, 383, 1, 1}},
        {3, {0, 767, 1024, 1}},      {3, {77, 41, 31, 29}},       {3, {1, 0, 1, 768}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(describe(c.mode, c.subframe));
        const CameraMode &mode = kCameraModes[c.mode];
        std::string error;
        ASSERT_TRUE(checkSubframe(c.subframe, mode, error)) << error;
        const FramePlan plan = planFrame(c.subframe, c.mode);
        const int32_t m = mode.multiple;
        EXPECT_EQ(plan.window.x % m, 0);
        EXPECT_EQ(plan.window.y % m, 0);
        EXPECT_EQ(plan.window.width % m, 0);
        EXPECT_EQ(plan.window.height % m, 0);
        // The smallest covering window: less than one multiple of slack per side.
        EXPECT_LT(plan.window.width - c.subframe.width, 2 * m);
        EXPECT_LT(plan.window.height - c.subframe.height, 2 * m);

        const std::vector<uint16_t> image = cropToSubframe(expose(c.mode, plan.window), plan);
        ASSERT_EQ(image.size(), static_cast<size_t>(c.subframe.width) * c.subframe.height);
        const std::vector<uint16_t> &full = fullFrame(c.mode);
        const int32_t fullWidth = fullSubframe(mode).width;
        size_t mismatches = 0;
        for (int32_t r = 0; r < c.subframe.height; ++r) {
            for (int32_t col = 0; col < c.subframe.width; ++col) {
                const size_t at = static_cast<size_t>(c.subframe.y + r) * fullWidth +
                                  static_cast<size_t>(c.subframe.x + col);
                mismatches += image[static_cast<size_t>(r) * c.subframe.width + col] != full[at];
            }
        }
        EXPECT_EQ(mismatches, 0u);

        const SubframeColours colours = subframeColours(plan);
        if (!mode.keepsMosaic) {
            EXPECT_EQ(colours.pattern, "");
            continue;
        }
        const std::string fullPattern =
            bayerPatternFor(mode, {0, 0, fullWidth, fullSubframe(mode).height});
        EXPECT_EQ(colours.fullFramePattern, fullPattern);
        for (int32_t r = 0; r < 2; ++r) {
            for (int32_t col = 0; col < 2; ++col) {
                const char expected =
                    colourAt(fullPattern, c.subframe.y + r, c.subframe.x + col);
                EXPECT_EQ(colourAt(colours.pattern, r, col), expected);
                EXPECT_EQ(colourAt(colours.fullFramePattern, r + colours.offsetY,
                                   col + colours.offsetX),
                          expected);
            }
        }
    }
}

TEST(FramePlan, SubframesOutsideTheFrameAreRefusedWithTheirValues) {
    const struct {
        uint32_t mode;
        Subframe subframe;
        const char *reason;  // "" when accepted
    } cases[] = {
        {4, {0, 0, 2048, 1536}, ""},
        {1, {511, 383, 1, 1}, ""},
        {4, {0, 0, 0, 10}, "subframe 0,0 0x10 is empty (the binned frame is 2048x1536)"},
        {4, {0, 0, 10, -1}, "is empty"},
        {2, {-1, 0, 10, 10}, "subframe -1,0 10x10 starts outside the frame"},
        {2, {0, -5, 10, 10}, "starts outside"},
        {2, {1000, 0, 25, 10}, "1000,0 25x10 reaches past the frame (the binned frame is 1024x768)"},
        {0, {0, 380, 1, 5}, "reaches past the frame (the binned frame is 512x384)"},
        {4, {2147483647, 0, 2147483647, 1}, "reaches past"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(describe(c.mode, c.subframe));
        std::string error;
        const bool accepted = checkSubframe(c.subframe, kCameraModes[c.mode], error);
        EXPECT_EQ(accepted, std::string(c.reason).empty());
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST(FramePlan, ModeForEveryBinningFactorAndKind) {
    const struct {
        int32_t factor;
        BinningKind kind;
        std::optional<uint32_t> mode;
    } cases[] = {
        {1, BinningKind::ColourKept, 4},    {1, BinningKind::CameraBinning, 4},
        {2, BinningKind::ColourKept, 2},    {2, BinningKind::CameraBinning, 3},
        {4, BinningKind::ColourKept, 1},    {4, BinningKind::CameraBinning, 0},
        {3, BinningKind::ColourKept, {}},   {0, BinningKind::CameraBinning, {}},
        {-2, BinningKind::ColourKept, {}},  {8, BinningKind::CameraBinning, {}},
    };
    for (const auto &c : cases) {
        const auto mode = modeForBinning(c.factor, c.kind);
        EXPECT_EQ(mode, c.mode) << "factor " << c.factor;
        if (mode && c.factor > 1) {
            EXPECT_EQ(kCameraModes[*mode].binFactor, c.factor);
            EXPECT_EQ(binningKindOf(kCameraModes[*mode]), c.kind);
        }
    }
}
