// The host units that make d_Subframe's arithmetic (readout/window.h, the
// driver's own) give back every window, and the host-side description of the
// modes against the driver's own binning table.
#include "host/host_window.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "readout/binning_mode.h"
#include "readout/frame_geometry.h"
#include "readout/window.h"

TEST(ModeGeometry, FollowsTheBinningTable) {
    const struct {
        uint32_t mode;
        ModeGeometry expected;
    } cases[] = {{0, {512, 384, 4}},
                 {1, {512, 384, 4}},
                 {2, {1024, 768, 2}},
                 {3, {1024, 768, 2}},
                 {4, {2048, 1536, 1}}};
    for (const auto &c : cases) {
        const ModeGeometry g = geometryOf(kCameraModes[c.mode]);
        EXPECT_EQ(g.frameWidth, c.expected.frameWidth) << "mode " << c.mode;
        EXPECT_EQ(g.frameHeight, c.expected.frameHeight) << "mode " << c.mode;
        EXPECT_EQ(g.multiple, c.expected.multiple) << "mode " << c.mode;
    }
}

TEST(CameraModes, AgreeWithTheDriversBinningTable) {
    ASSERT_EQ(kCameraModes.size(), kBinningModes.size());
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        const BinningMode &driver = kBinningModes[mode];
        const CameraMode &host = kCameraModes[mode];
        EXPECT_EQ(host.binFactor, static_cast<int32_t>(driver.binFactor)) << "mode " << mode;
        EXPECT_EQ(host.multiple, static_cast<int32_t>(driver.roundMask + 1)) << "mode " << mode;
        EXPECT_EQ(host.keepsMosaic, driver.previewMode == 0) << "mode " << mode;
        EXPECT_EQ(host.cellRows, driver.cellRows) << "mode " << mode;
        EXPECT_EQ(host.cellColumns, driver.cellColumns) << "mode " << mode;
    }
}

// Every value the binned frame allows on every axis of every mode comes back
// exactly from the driver's own scaling of the host units.
TEST(HostUnitsFor, DriverScalingGivesBackEveryWindowValue) {
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        const BinningMode &binning = kBinningModes[mode];
        const ModeGeometry g = geometryOf(kCameraModes[mode]);
        for (int32_t v = 0; v <= g.frameWidth; v += g.multiple) {
            const int32_t h = std::min(v, g.frameHeight);
            const PixelWindow window{v, h, g.frameWidth - v, g.frameHeight - h};
            const HostWindow host = hostUnitsFor(window, g);
            const ReadoutWindow made =
                windowFromHostUnits(host.x, host.y, host.width, host.height, binning);
            ASSERT_EQ(made.x, window.x) << "mode " << mode << " x " << v << " host " << host.x;
            ASSERT_EQ(made.y, window.y) << "mode " << mode << " y " << h << " host " << host.y;
            ASSERT_EQ(made.width, window.width) << "mode " << mode << " width " << window.width;
            ASSERT_EQ(made.height, window.height) << "mode " << mode << " height " << window.height;
            // The smallest such value: one host unit less falls short.
            if (v > 0) {
                const ReadoutWindow less = windowFromHostUnits(host.x - 1, 0, 0, 0, binning);
                ASSERT_LT(less.x, window.x) << "mode " << mode << " x " << v;
            }
        }
    }
}

TEST(HostUnitsFor, WholeFrameIsFullScale) {
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        const ModeGeometry g = geometryOf(kCameraModes[mode]);
        EXPECT_EQ(hostUnitsFor({0, 0, g.frameWidth, g.frameHeight}, g),
                  (HostWindow{0, 0, 100000, 100000}))
            << "mode " << mode;
    }
}
