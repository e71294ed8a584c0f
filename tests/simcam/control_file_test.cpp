// The camera vanishing, stalling and coming back mid-session, as the control
// file named by QM_SIM_CONTROL says: each call in each state, frames in flight
// and after the camera returns, and the file's words.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "sim_test_support.h"

namespace simtest {
namespace {

constexpr int32_t kFullFrame = 0;
constexpr int32_t kRowPairs = 2;
// A full frame whose exposure lasts 300 ms at time scale 1.
constexpr int32_t kInFlightValue = 150;
// Long enough for a frame in flight, or one that should not come, to have come.
constexpr auto kQuietPeriod = std::chrono::milliseconds(800);

class ControlFileTest : public SimCameraTest {
protected:
    void SetUp() override {
        path_ = std::filesystem::path(::testing::TempDir()) /
                ("qm-sim-control-" + std::to_string(::getpid()));
        std::filesystem::remove(path_);
        setVariable("QM_SIM_CONTROL", path_.string());
        SimCameraTest::SetUp();
    }

    void TearDown() override {
        clearVariable("QM_SIM_CONTROL");
        std::filesystem::remove(path_);
        SimCameraTest::TearDown();
    }

    // Writes the file whole. Each write gets a modification time of its own, as
    // writes seconds apart would: the camera reads the file again only when its
    // time or size changes.
    void write(const std::string &text) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
        static int writes = 0;
        std::filesystem::last_write_time(
            path_, std::filesystem::file_time_type::clock::now() + std::chrono::seconds(++writes));
    }

    std::filesystem::path path_;
};

struct StateCase {
    const char *word;
    int32_t openingCalls;  // what the calls needing an open camera answer
    int32_t deliveredFrameReported;
};

constexpr StateCase kStates[] = {
    {"present", 1, 1},
    {"absent", 0, 0},  // unplugged: closed, a delivered frame no longer reported
    {"stall", 1, 1},   // open; a frame already written stays complete
};

// From an open camera whose last frame has arrived, the control file changes and
// one call follows: every call in every state.
TEST_F(ControlFileTest, EachCallInEachState) {
    FrameBuffer frame;
    static const struct {
        const char *name;
        std::function<int32_t(FrameBuffer &)> call;
        bool needsOpenCamera;  // else it answers 1 in every state
    } calls[] = {
        {"InitialVideo", [](FrameBuffer &) { return YCCDInitialVideo(0); }, true},
        {"StartView", [](FrameBuffer &) { return YCCDStartView(); }, true},
        {"EnableAE", [](FrameBuffer &) { return YCCDEnableAE(0); }, true},
        {"EnableAWB", [](FrameBuffer &) { return YCCDEnableAWB(1); }, true},
        {"SetPreviewMode", [](FrameBuffer &) { return YCCDSetPreviewMode(2); }, true},
        {"PauseView", [](FrameBuffer &) { return YCCDPauseView(); }, true},
        {"SetExposure", [](FrameBuffer &) { return YCCDSetExposure(200); }, true},
        {"SetColorGain", [](FrameBuffer &) { return YCCDSetColorGain(1.0f, 1.0f, 1.0f); }, true},
        {"GetImageData", [](FrameBuffer &f) { return YCCDGetImageData(2, f.data()); }, true},
        {"GetImageDataState", [](FrameBuffer &) { return YCCDGetImageDataState(); }, true},
        {"StopView", [](FrameBuffer &) { return YCCDStopView(); }, false},
        {"ReleaseVideo", [](FrameBuffer &) { return YCCDReleaseVideo(); }, false},
    };
    for (const StateCase &state : kStates) {
        for (const auto &c : calls) {
            SCOPED_TRACE(std::string(c.name) + " while " + state.word);
            write("present");
            ASSERT_TRUE(openCamera());
            ASSERT_TRUE(captureFrame(kRowPairs, 40, frame));
            write(state.word);
            const int32_t expected = !c.needsOpenCamera ? 1
                                     : std::string(c.name) == "GetImageDataState"
                                         ? state.deliveredFrameReported
                                         : state.openingCalls;
            EXPECT_EQ(c.call(frame), expected);
        }
    }
}

// A frame in flight when the state changes, one requested in that state, one
// requested once the camera is present again without reopening it, and one
// after reopening.
TEST_F(ControlFileTest, FramesBeforeDuringAndAfterEachState) {
    static const struct {
        const char *word;
        bool inFlightArrives;
        int32_t requestAccepted;
        bool requestArrives;
        int32_t acceptedWhenBack;  // present again, the camera not reopened
    } cases[] = {
        {"present", true, 1, true, 1},
        {"absent", false, 0, false, 0},  // closed: it must be opened again
        {"stall", false, 1, false, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word);
        write("present");
        ASSERT_TRUE(openCamera());
        setVariable("QM_SIM_TIME_SCALE", "1");
        FrameBuffer inFlight;
        YCCDSetExposure(kInFlightValue);
        ASSERT_EQ(YCCDGetImageData(kFullFrame, inFlight.data()), 1);
        write(c.word);
        const int32_t stateAtChange = YCCDGetImageDataState();
        std::this_thread::sleep_for(kQuietPeriod);
        EXPECT_EQ(YCCDGetImageDataState(), c.inFlightArrives ? 1 : 0);
        EXPECT_EQ(stateAtChange, 0);
        EXPECT_EQ(inFlight.untouched(), !c.inFlightArrives) << "a lost frame was written";

        setVariable("QM_SIM_TIME_SCALE", "0");
        FrameBuffer during;
        YCCDSetExposure(40);
        EXPECT_EQ(YCCDGetImageData(kRowPairs, during.data()), c.requestAccepted);
        if (c.requestArrives) {
            EXPECT_TRUE(waitForFrame());
        } else {
            std::this_thread::sleep_for(kQuietPeriod);
            EXPECT_EQ(YCCDGetImageDataState(), 0);
            EXPECT_TRUE(during.untouched());
        }

        write("present");
        FrameBuffer after;
        EXPECT_EQ(YCCDGetImageData(kRowPairs, after.data()), c.acceptedWhenBack);
        if (c.acceptedWhenBack != 0) {
            EXPECT_TRUE(waitForFrame());
        } else {
            EXPECT_EQ(YCCDGetImageDataState(), 0);
            EXPECT_TRUE(after.untouched());
        }

        ASSERT_TRUE(openCamera()) << "the camera does not open again";
        EXPECT_TRUE(captureFrame(kRowPairs, 40, after));
    }
}

// Whether the camera opens, for what the file holds; an unknown word is reported
// once and taken as present.
TEST_F(ControlFileTest, FirstWordOfTheFileSetsTheState) {
    static const struct {
        const char *text;  // nullptr: no file
        int32_t opens;
        bool reported;
    } cases[] = {
        {nullptr, 1, false},
        {"", 1, false},
        {" \n", 1, false},
        {"present", 1, false},
        {"absent", 0, false},
        {"  absent\n", 0, false},
        {"absent since 03:00, cable out", 0, false},
        {"stall\r\n", 1, false},
        {"Absent", 1, true},
        {"unplugged", 1, true},
        {"absent-ish", 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text == nullptr ? "no file" : std::string("\"") + c.text + "\"");
        YCCDReleaseVideo();
        if (c.text == nullptr) {
            std::filesystem::remove(path_);
        } else {
            write(c.text);
        }
        ::testing::internal::CaptureStderr();
        const int32_t opened = YCCDInitialVideo(0);
        YCCDGetImageDataState();  // reads the unchanged file again: no second report
        const std::string report = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(opened, c.opens);
        EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), c.reported ? 1 : 0) << report;
        if (c.reported) {
            EXPECT_NE(report.find("QM_SIM_CONTROL"), std::string::npos) << report;
        }
    }
}

}  // namespace
}  // namespace simtest
