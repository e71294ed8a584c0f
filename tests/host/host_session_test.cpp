// The steps of the host sequence against a scripted stand-in for the driver's
// exports: connecting, the modes' sizes, the window. The exposure cycle is the
// camera worker's (camera_worker_test.cpp).
#include "host/host_session.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Script {
    int32_t okResult = 1;
    int32_t initializeResult = 1;
    int32_t widthSkew = 0;  // added to the window width d_GetWidth reports
    std::vector<std::string> calls;
    uint32_t subframe[5] = {};
};
Script script;

void note(const char *call) { script.calls.push_back(call); }

const char *getName() { return "fake"; }
const char *getInfo() { return "Fake CCD"; }
int32_t initialize(int32_t) {
    note("Initialize");
    return script.initializeResult;
}
int32_t setupCCD(int32_t quiet) {
    note(quiet ? "SetupCCD(quiet)" : "SetupCCD(box)");
    return 1;
}
int32_t getOK() {
    note("GetOK");
    return script.okResult;
}
int32_t binningCount() { return 5; }
const char *binningName(uint32_t mode) {
    static const char *names[] = {"4x4 HW bw", "4x4 SW cl/bw", "2x2 SW cl/bw", "2x2 HW bw",
                                  "1x1 HW cl/bw"};
    return mode < 5 ? names[mode] : nullptr;
}
int32_t subframe(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t mode) {
    note("Subframe");
    const uint32_t values[5] = {x, y, w, h, mode};
    std::copy(values, values + 5, script.subframe);
    return mode < 5 ? 1 : 0;
}
int32_t binned(uint32_t host, uint32_t mode, int32_t sensor) {
    const uint32_t factor = mode < 2 ? 4 : (mode < 4 ? 2 : 1);
    const uint32_t mask = mode < 2 ? 3 : (mode < 4 ? 1 : 0);
    return static_cast<int32_t>((sensor / factor * host / 100000) & ~mask);
}
int32_t getWidth(int32_t) {
    return binned(script.subframe[2], script.subframe[4], 2048) + script.widthSkew;
}
int32_t getHeight(int32_t) { return binned(script.subframe[3], script.subframe[4], 1536); }
int32_t isColor() { return 1; }
int32_t moveFrame(int32_t) { return 1; }
int32_t startExposure(int32_t, int32_t) {
    note("StartExposure");
    return 1;
}
int32_t isExposing() {
    note("IsExposing");
    return 0;
}
int32_t interruptExposure() { return 1; }
int32_t startDownload() {
    note("StartDownload");
    return 1;
}
int32_t readImage(uint16_t *) {
    note("ReadImage");
    return 1;
}
int32_t endDownload(int32_t) {
    note("EndDownload");
    return 1;
}
int32_t getTemperature() { return 0; }
int32_t finalize() {
    note("Finalize");
    return 1;
}

DriverApi fakeApi() {
    DriverApi api;
    api.GetName = getName;
    api.GetInfo = getInfo;
    api.Initialize = initialize;
    api.SetupCCD = setupCCD;
    api.GetOK = getOK;
    api.BinningCount = binningCount;
    api.BinningName = binningName;
    api.Subframe = subframe;
    api.GetWidth = getWidth;
    api.GetHeight = getHeight;
    api.IsColor = isColor;
    api.MoveFrame = moveFrame;
    api.StartExposure = startExposure;
    api.IsExposing = isExposing;
    api.InterruptExposure = interruptExposure;
    api.StartDownload = startDownload;
    api.ReadImage = readImage;
    api.EndDownload = endDownload;
    api.GetTemperature = getTemperature;
    api.Finalize = finalize;
    return api;
}

long countOf(const char *call) {
    return std::count(script.calls.begin(), script.calls.end(), std::string(call));
}

class HostSession : public ::testing::Test {
protected:
    void SetUp() override { script = Script{}; }
    DriverApi api = fakeApi();
};

}  // namespace

TEST_F(HostSession, ConnectionOutcomes) {
    std::string error;
    EXPECT_TRUE(connectCamera(api, false, error)) << error;
    EXPECT_EQ(script.calls, (std::vector<std::string>{"Initialize", "SetupCCD(quiet)", "GetOK"}));

    script = Script{};
    EXPECT_TRUE(connectCamera(api, true, error));
    EXPECT_EQ(countOf("SetupCCD(box)"), 1);

    script = Script{};
    script.okResult = 0;
    EXPECT_FALSE(connectCamera(api, false, error));
    EXPECT_NE(error.find("camera not found"), std::string::npos) << error;

    script = Script{};
    script.initializeResult = 0;
    EXPECT_FALSE(connectCamera(api, false, error));
    EXPECT_NE(error.find("frame buffer"), std::string::npos) << error;
    EXPECT_EQ(countOf("SetupCCD(quiet)"), 0);
}

TEST_F(HostSession, WindowIsCheckedAgainstTheDriversSize) {
    const ModeGeometry g = geometryOf(kCameraModes[2]);
    std::string error;
    ASSERT_TRUE(selectWindow(api, 2, {10, 20, 100, 80}, g, error)) << error;
    EXPECT_EQ(script.subframe[4], 2u);

    script.widthSkew = -2;
    EXPECT_FALSE(selectWindow(api, 2, {10, 20, 100, 80}, g, error));
    EXPECT_NE(error.find("made a 98x80 window instead of 100x80"), std::string::npos) << error;
}

TEST_F(HostSession, ModeSizesAreCheckedAgainstTheCamera) {
    std::string error;
    EXPECT_TRUE(checkModeSizes(api, error)) << error;
    EXPECT_EQ(countOf("Subframe"), 5);

    script = Script{};
    script.widthSkew = 4;
    EXPECT_FALSE(checkModeSizes(api, error));
    EXPECT_NE(error.find("mode 0 makes 516x384 frames, not the 512x384"), std::string::npos)
        << error;
}
