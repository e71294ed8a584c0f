// qm-alpaca through a camera that drops out: the simulated camera unplugged or
// stalled through QM_SIM_CONTROL. The exposure in flight fails within its
// length and the readout margin with CameraState 5 and the reason in ImageReady
// and ImageArray; every client stays connected; an exposure started while the
// camera is away waits for it (or is refused with --reconnect-wait 0) and,
// once the camera is back, delivers the same frame as before the drop-out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/alpaca/alpaca_harness.h"

using namespace alpacatest;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCameraFailure = 0x500;
constexpr int kCameraReconnecting = 0x501;
constexpr int kInvalidOperation = 0x40B;
constexpr char kImageBytes[] = "Accept: application/imagebytes";
// --readout-margin: short where the camera delivers at once, longer where
// exposures take their real time and the driver's polls 200 ms each.
constexpr double kReadoutMargin = 1.0;
constexpr double kRealTimeReadoutMargin = 2.0;

// The file the simulated camera reads its state from.
class ControlFile {
public:
    ControlFile() {
        char pattern[] = "/tmp/qm-alpaca-control-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd >= 0) close(fd);
        path_ = pattern;
        set("present");
    }
    ~ControlFile() { std::remove(path_.c_str()); }

    // Written beside and renamed, so the camera never reads half a word.
    void set(const std::string &word) {
        const std::string next = path_ + ".next";
        std::ofstream(next) << word << "\n";
        std::rename(next.c_str(), path_.c_str());
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool contains(const json &answer, const std::string &text) {
    return answer.value("ErrorMessage", std::string()).find(text) != std::string::npos;
}

class AlpacaRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        if (externalServer())
            GTEST_SKIP() << "the camera is switched through the server's environment";
    }

    // A server with the camera under `control`.
    static std::unique_ptr<ServerUnderTest> serve(
        const ControlFile &control, std::vector<std::string> arguments,
        double readoutMargin = kReadoutMargin,
        std::map<std::string, std::string> environment = {}) {
        arguments.insert(arguments.end(), {"--readout-margin", std::to_string(readoutMargin)});
        environment["QM_SIM_CONTROL"] = control.path();
        return std::make_unique<ServerUnderTest>(arguments, environment);
    }

    // StartExposure, then CameraState 5 awaited: the seconds it took, or -1.
    static double exposeUntilError(AlpacaClient &client, double seconds) {
        const auto start = Clock::now();
        if (client.call("startexposure", "Duration=" + std::to_string(seconds) + "&Light=true")
                .value("ErrorNumber", -1) != 0) {
            return -1;
        }
        const bool failed = waitFor([&] { return client.value("camerastate")["Value"] == 5; },
                                    std::chrono::seconds(10));
        return failed ? secondsSince(start) : -1;
    }

    static RowImage imageOf(AlpacaClient &client) {
        RowImage image;
        std::string error;
        EXPECT_TRUE(imageFromImageBytes(client.get("imagearray", "", {kImageBytes}), image, error))
            << error;
        return image;
    }
};

TEST_F(AlpacaRecovery, UnpluggedMidExposureFailsTheFrameAndTheNextWaitsForTheCamera) {
    ControlFile control;
    // Exposures at their real length, so the camera can be pulled during one.
    auto server = serve(control, {"--reconnect-wait", "20"}, kRealTimeReadoutMargin,
                        {{"QM_SIM_TIME_SCALE", "1"}});
    ASSERT_TRUE(server->started()) << server->error();
    AlpacaClient imager(server->endpoint(), 41);
    AlpacaClient watcher(server->endpoint(), 42);  // another program on the same camera
    ASSERT_TRUE(imager.connect());
    ASSERT_TRUE(watcher.connect());
    ASSERT_TRUE(imager.setFrame(1, 0, 0, 0, 2048, 1536));
    ASSERT_TRUE(imager.expose(0.05)) << server->log();
    const RowImage before = imageOf(imager);
    ASSERT_EQ(before.width, 2048);

    const double length = 1.0;
    const auto start = Clock::now();
    ASSERT_EQ(imager.call("startexposure", "Duration=1&Light=true")["ErrorNumber"], 0);
    ASSERT_TRUE(waitFor([&] { return watcher.value("camerastate")["Value"] == 2; },
                        std::chrono::seconds(2)));
    control.set("absent");
    ASSERT_TRUE(waitFor([&] { return watcher.value("camerastate")["Value"] == 5; },
                        std::chrono::seconds(10)));
    const double took = secondsSince(start);
    EXPECT_GE(took, length) << "failed before the exposure could end";
    EXPECT_LE(took, length + kRealTimeReadoutMargin + 1.5);
    for (AlpacaClient *client : {&imager, &watcher}) {
        const json ready = client->value("imageready");
        EXPECT_GE(ready["ErrorNumber"], kCameraFailure) << ready;
        EXPECT_TRUE(contains(ready, "no image from the camera")) << ready;
        const json image = AlpacaClient::json(client->get("imagearray", "", {kImageBytes}));
        EXPECT_GE(image["ErrorNumber"], kCameraFailure) << image;
        EXPECT_TRUE(contains(image, "no image from the camera")) << image;
        EXPECT_EQ(client->value("connected")["Value"], true);
    }

    // Taken while the camera is away: accepted, waiting, and taken once it is back.
    ASSERT_EQ(imager.call("startexposure", "Duration=0.05&Light=true")["ErrorNumber"], 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(watcher.value("camerastate")["Value"], 1);
    EXPECT_EQ(imager.value("imageready")["Value"], false);
    control.set("present");
    ASSERT_TRUE(waitFor([&] { return imager.value("imageready")["Value"] == true; },
                        std::chrono::seconds(20)))
        << imager.value("imageready");
    EXPECT_TRUE(imageOf(imager) == before) << "the frame after the drop-out differs";
    EXPECT_EQ(watcher.value("camerastate")["Value"], 0);
    EXPECT_EQ(watcher.value("connected")["Value"], true);

    const std::string log = server->log();
    for (const char *line :
         {"exposure 2 failed: no image from the camera", "camera lost: no frame within",
          "reconnecting the camera, attempt 1", "waiting for the camera to be reconnected",
          "camera reconnected after"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

TEST_F(AlpacaRecovery, AStalledCameraFailsEachExposureWithinLengthAndMarginUntilItDelivers) {
    ControlFile control;
    auto server = serve(control, {});
    ASSERT_TRUE(server->started()) << server->error();
    AlpacaClient client(server->endpoint(), 43);
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.setFrame(4, 0, 0, 0, 16, 16));
    control.set("stall");
    // Stalled, the camera opens again at once and takes the next request, whose
    // frame never comes either: each exposure is answered, none hangs.
    for (const double length : {0.5, 0.0}) {
        SCOPED_TRACE("exposure of " + std::to_string(length) + " s");
        const double took = exposeUntilError(client, length);
        ASSERT_GE(took, length + kReadoutMargin);
        EXPECT_LE(took, length + kReadoutMargin + 1.5);
        const json ready = client.value("imageready");
        EXPECT_GE(ready["ErrorNumber"], kCameraFailure) << ready;
        EXPECT_TRUE(contains(ready, "no image from the camera")) << ready;
        EXPECT_TRUE(contains(client.value("imagearray"), "no image from the camera"));
        EXPECT_EQ(client.value("percentcompleted")["ErrorNumber"], kInvalidOperation);
        EXPECT_EQ(client.value("connected")["Value"], true);
        const json state = client.value("devicestate")["Value"];
        ASSERT_TRUE(state.is_array()) << state;
        EXPECT_EQ(state[0], (json{{"Name", "CameraState"}, {"Value", 5}}));
    }
    control.set("present");
    ASSERT_TRUE(client.expose(0.01));
    const RowImage image = imageOf(client);
    EXPECT_EQ(image.width, 16);
    EXPECT_EQ(image.height, 16);
    EXPECT_EQ(client.value("camerastate")["Value"], 0);
}

// While the camera is away: StartExposure as --reconnect-wait says, then
// AbortExposure and the last client leaving, after which the camera is
// connected afresh once it is back.
TEST_F(AlpacaRecovery, WhileTheCameraIsAwayExposuresWaitOrAreRefusedAndClientsMayLeave) {
    const struct {
        const char *reconnectWait;
        int startAnswer;             // StartExposure's ErrorNumber
        const char *startMessage;    // in its ErrorMessage
        const char *failureMessage;  // ImageReady's once an accepted one gives up
    } cases[] = {
        {"0", kCameraReconnecting, "no exposure can start now: the camera stopped answering", ""},
        {"0.5", 0, "", "the camera did not come back within 0.5 s"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("--reconnect-wait ") + c.reconnectWait);
        ControlFile control;
        auto server = serve(control, {"--reconnect-wait", c.reconnectWait});
        ASSERT_TRUE(server->started()) << server->error();
        AlpacaClient client(server->endpoint(), 44);
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(client.setFrame(4, 0, 0, 0, 512, 384));
        control.set("absent");
        ASSERT_GT(exposeUntilError(client, 0), 0);
        // The reconnection under way is named once the camera is reported lost.
        ASSERT_TRUE(waitFor(
            [&] { return client.value("imageready")["ErrorNumber"] == kCameraReconnecting; },
            std::chrono::seconds(5)));
        EXPECT_TRUE(contains(client.value("imageready"), "is being reconnected"));

        const json start = client.call("startexposure", "Duration=0.01&Light=true");
        EXPECT_EQ(start["ErrorNumber"], c.startAnswer) << start;
        EXPECT_TRUE(contains(start, c.startMessage)) << start;
        if (c.startAnswer == 0) {
            EXPECT_EQ(client.value("camerastate")["Value"], 1);
            ASSERT_TRUE(waitFor([&] { return client.value("camerastate")["Value"] == 5; },
                                std::chrono::seconds(5)));
            const json ready = client.value("imageready");
            EXPECT_EQ(ready["ErrorNumber"], kCameraReconnecting) << ready;
            EXPECT_TRUE(contains(ready, c.failureMessage)) << ready;
        }
        // Abort is answered, and the camera still counts as failed while away.
        EXPECT_EQ(client.call("abortexposure")["ErrorNumber"], 0);
        EXPECT_EQ(client.value("camerastate")["Value"], 5);
        EXPECT_EQ(client.call("connected", "Connected=false")["ErrorNumber"], 0);
        EXPECT_EQ(client.value("connected")["Value"], false);
        control.set("present");
        ASSERT_TRUE(client.connect());
        EXPECT_EQ(client.value("camerastate")["Value"], 0);
        EXPECT_TRUE(client.expose(0.01)) << client.value("imageready") << server->log();
        EXPECT_TRUE(server->alive());
    }
}

}  // namespace
