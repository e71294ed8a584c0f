// The capture units on the built driver and the simulated camera in this
// process, for what the tool's command line cannot do: one-pixel moves of the
// window with d_MoveFrame, whose colour phase BAYERPAT must follow.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/driver_api.h"
#include "tests/capture/sky_checks.h"
#include "host/bayer_pattern.h"
#include "host/host_session.h"
#include "tests/support/simulated_camera_suite.h"

namespace {

constexpr char kSeed[] = "99";

class DriverCapture : public SimulatedCameraSuite<kSeed> {
protected:
    // The host's exposure cycle: a minute's exposure, which the camera
    // delivers at once here.
    void expose(std::vector<uint16_t> &image) const {
        ASSERT_EQ(api().StartExposure(60000, 0), 1);
        while (api().IsExposing() != 0) {
        }
        downloadImage(api(), image);
    }
};

}  // namespace

TEST_F(DriverCapture, BayerPatternFollowsOnePixelMoves) {
    const struct {
        uint32_t mode;
        PixelWindow window;
        std::vector<int32_t> moves;  // d_MoveFrame directions: 1 y+1, 2 y-1, 3 x-1, 4 x+1
    } cases[] = {
        {4, {200, 300, 64, 64}, {}},        {4, {200, 300, 64, 64}, {1}},
        {4, {200, 300, 64, 64}, {2}},       {4, {200, 300, 64, 64}, {3}},
        {4, {200, 300, 64, 64}, {4}},       {4, {200, 300, 64, 64}, {4, 1}},
        {4, {200, 300, 64, 64}, {3, 2, 2}}, {4, {201, 300, 63, 61}, {4}},
        {2, {100, 100, 64, 64}, {4}},       {2, {100, 100, 64, 64}, {1}},
        {2, {100, 100, 64, 64}, {3, 2}},    {1, {40, 40, 32, 32}, {4}},
        {1, {40, 40, 32, 32}, {1, 3}},
    };
    for (const auto &c : cases) {
        PixelWindow moved = c.window;
        std::string trace = "mode " + std::to_string(c.mode) + " moves";
        for (int32_t direction : c.moves) {
            trace += " " + std::to_string(direction);
            moved.y += direction == 1 ? 1 : (direction == 2 ? -1 : 0);
            moved.x += direction == 4 ? 1 : (direction == 3 ? -1 : 0);
        }
        SCOPED_TRACE(trace);
        std::string error;
        const CameraMode &camera = kCameraModes[c.mode];
        ASSERT_TRUE(selectWindow(api(), c.mode, c.window, geometryOf(camera), error)) << error;
        for (int32_t direction : c.moves) {
            ASSERT_EQ(api().MoveFrame(direction), 1);
        }
        std::vector<uint16_t> image(static_cast<size_t>(moved.width) * moved.height);
        expose(image);
        const std::string pattern = bayerPatternFor(camera, moved);
        EXPECT_EQ(patternShownBySky(phaseMedians(image, moved.width, moved.height)), pattern);
        if (c.mode == 4 && !c.moves.empty()) {
            EXPECT_NE(pattern, bayerPatternFor(camera, c.window))
                << "a one-pixel move must change the phase in mode 4";
        }
    }
}
