// Frame buffer, open sequence, priming, message boxes and release.
#include "tests/driver/driver_fixture.h"

namespace {

using Calls = std::vector<std::string>;

const Calls kPriming = {"YCCDSetPreviewMode(2)", "YCCDPauseView()", "YCCDSetExposure(200)",
                        "YCCDGetImageData(2)"};

Calls concat(Calls head, const Calls &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

}  // namespace

TEST_F(DriverTest, OpenSequenceStopsAtTheFirstFailure) {
    const struct {
        const char *label;
        int32_t initialVideo, startView, enableAE;
        Calls opening;
        bool connected;
    } cases[] = {
        {"all succeed", 1, 1, 1,
         {"YCCDInitialVideo(0)", "YCCDStartView()", "YCCDEnableAE(0)"}, true},
        {"any nonzero is success", -5, 7, 0x100, {"YCCDInitialVideo(0)", "YCCDStartView()", "YCCDEnableAE(0)"}, true},
        {"no camera", 0, 1, 1, {"YCCDInitialVideo(0)"}, false},
        {"stream fails", 1, 0, 1, {"YCCDInitialVideo(0)", "YCCDStartView()"}, false},
        {"auto exposure fails", 1, 1, 0,
         {"YCCDInitialVideo(0)", "YCCDStartView()", "YCCDEnableAE(0)"}, false},
    };
    for (const auto &c : cases) {
        for (int32_t quiet : {0, 1, -1}) {
            SCOPED_TRACE(std::string(c.label) + ", quiet " + std::to_string(quiet));
            sdk_double::reset();
            script().initialVideo = c.initialVideo;
            script().startView = c.startView;
            script().enableAE = c.enableAE;
            ASSERT_EQ(d().Initialize(0), 1);
            EXPECT_EQ(d().SetupCCD(quiet), 1);
            EXPECT_EQ(calls(), concat(c.opening, kPriming));
            EXPECT_EQ(d().GetOK(), c.connected ? 1 : 0);
            ASSERT_EQ(record().frames.size(), 1u);
            EXPECT_NE(record().frames[0], nullptr);
            EXPECT_TRUE(record().sleeps.empty());
            if (quiet != 0) {
                EXPECT_TRUE(record().messageBoxes.empty());
            } else {
                ASSERT_EQ(record().messageBoxes.size(), 1u);
                const sdk_double::MessageBoxCall &box = record().messageBoxes[0];
                EXPECT_EQ(box.owner, nullptr);
                if (c.connected) {
                    EXPECT_EQ(box.text, "Vantrel camera connected.");
                    EXPECT_EQ(box.caption, "Found CCD camera");
                    EXPECT_EQ(box.style, 0x1040u);
                } else {
                    EXPECT_EQ(box.text, "Error: Failed to find Vantrel camera.");
                    EXPECT_EQ(box.caption, "Camera Not Found");
                    EXPECT_EQ(box.style, 0x1010u);
                }
            }
            // A camera that failed part-way is never closed.
            calls().clear();
            EXPECT_EQ(d().Finalize(), 1);
            EXPECT_EQ(calls(), (c.connected ? Calls{"YCCDStopView()", "YCCDReleaseVideo()"} : Calls{}));
        }
    }
}

TEST_F(DriverTest, SetupStartsFromDisconnectedEveryTime) {
    connect();
    ASSERT_EQ(d().GetOK(), 1);
    script().initialVideo = 0;
    EXPECT_EQ(d().SetupCCD(1), 1);
    EXPECT_EQ(d().GetOK(), 0);
    script().initialVideo = 1;
    EXPECT_EQ(d().SetupCCD(1), 1);
    EXPECT_EQ(d().GetOK(), 1);
    // Repeated setups close nothing first.
    for (const std::string &call : calls()) {
        EXPECT_NE(call, "YCCDStopView()");
        EXPECT_NE(call, "YCCDReleaseVideo()");
    }
}

TEST_F(DriverTest, InitializeKeepsOneBufferAndItsContents) {
    EXPECT_EQ(d().Initialize(0), 1);
    EXPECT_EQ(d().SetupCCD(1), 1);
    auto *first = static_cast<uint8_t *>(record().frames.back());
    ASSERT_NE(first, nullptr);
    // Obtained zero-filled, all of it.
    for (size_t i = 0; i < kRawFrameBytes; i += 4093) {
        ASSERT_EQ(first[i], 0) << "byte " << i;
    }
    EXPECT_EQ(first[kRawFrameBytes - 1], 0);
    first[0] = 0x12;
    first[kRawFrameBytes - 1] = 0x34;

    EXPECT_EQ(d().Initialize(12345), 1);
    EXPECT_EQ(d().SetupCCD(1), 1);
    EXPECT_EQ(record().frames.back(), first);
    EXPECT_EQ(first[0], 0x12);
    EXPECT_EQ(first[kRawFrameBytes - 1], 0x34);
}

TEST_F(DriverTest, FinalizeReleasesOnceAndDisconnects) {
    connect();
    EXPECT_EQ(d().Finalize(), 1);
    EXPECT_EQ(calls(), (Calls{"YCCDStopView()", "YCCDReleaseVideo()"}));
    EXPECT_EQ(d().GetOK(), 0);

    // Without a buffer no exposure starts, and a second finalize calls nothing.
    calls().clear();
    EXPECT_EQ(d().StartExposure(100, 0), 0);
    EXPECT_EQ(d().Finalize(), 1);
    EXPECT_TRUE(calls().empty());

    // A new initialize obtains a new buffer, and the camera can be opened again.
    EXPECT_EQ(d().Initialize(0), 1);
    EXPECT_EQ(d().SetupCCD(1), 1);
    EXPECT_EQ(d().GetOK(), 1);
    EXPECT_NE(record().frames.back(), nullptr);
}

TEST_F(DriverTest, SetupWithoutBufferRequestsNoFrame) {
    EXPECT_EQ(d().SetupCCD(0), 1);
    EXPECT_EQ(calls(), (Calls{"YCCDInitialVideo(0)", "YCCDStartView()", "YCCDEnableAE(0)",
                              "YCCDSetPreviewMode(2)", "YCCDPauseView()", "YCCDSetExposure(200)"}));
    EXPECT_TRUE(record().frames.empty());
    EXPECT_EQ(d().GetOK(), 1);
    ASSERT_EQ(record().messageBoxes.size(), 1u);
    EXPECT_EQ(record().messageBoxes[0].caption, "Found CCD camera");

    calls().clear();
    ASSERT_EQ(d().Subframe(0, 0, 100000, 100000, 4), 1);
    EXPECT_EQ(d().StartExposure(100, 0), 0);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(d().IsExposing(), 0);
}

TEST_F(DriverTest, FailedAllocationIsReportedAndNothingReadsThroughIt) {
    script().failFrameAllocation = true;
    const int32_t result = d().Initialize(0);
    if (record().failedAllocations == 0) {
        GTEST_SKIP() << "the allocator of this build cannot be replaced";
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(d().SetupCCD(1), 1);
    EXPECT_TRUE(record().frames.empty());

    ASSERT_EQ(d().Subframe(0, 0, 1000, 1000, 4), 1);
    calls().clear();
    EXPECT_EQ(d().StartExposure(100, 0), 0);
    EXPECT_TRUE(calls().empty());

    // Every position reads as 0 without a buffer.
    std::vector<uint16_t> image(d().GetWidth(0) * d().GetHeight(0), 0x7777);
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(d().ReadImage(image.data()), 1);
    EXPECT_EQ(image, std::vector<uint16_t>(image.size(), 0));

    // A later initialize can still obtain the buffer.
    script().failFrameAllocation = false;
    EXPECT_EQ(d().Initialize(0), 1);
    EXPECT_EQ(d().StartExposure(100, 0), 1);
}
