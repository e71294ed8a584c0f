// One indiserver hosting the INDI driver under test (QM_INDI_DRIVER, else the
// one of this build) with the simulated camera, and one client on it.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tests/capture/fits_reader.h"
#include "tests/capture/temp_dir.h"
#include "tests/indi/indi_server.h"
#include "tests/indi/indi_test_client.h"

namespace qmindi {

inline constexpr const char *kDevice = "QM-208X VESK";
inline constexpr long kSensorWidth = 2048;
inline constexpr long kSensorHeight = 1536;
// Frames grow to whole binned pixels: at most 4 sensor pixels (modes 0 and 1).
inline constexpr double kLargestStep = 4;

// Generous bounds for a busy machine; with QM_SIM_TIME_SCALE=0 answers come in
// milliseconds.
inline constexpr Seconds kAnswerTimeout{20};
// A refusal comes at once; waiting longer only delays the failure.
inline constexpr Seconds kRefusalTimeout{5};
// How long to watch for something that must not come.
inline constexpr Seconds kQuietPeriod{1.5};

struct Mode {
    int number;
    const char *element;  // QM_BINNING_MODE element
    const char *label;    // d_BinningName
    int binning;
    bool mosaic;  // the image keeps the sensor's colour mosaic
};

inline constexpr std::array<Mode, 5> kModes = {{
    {0, "MODE_0", "4x4 HW bw", 4, false},
    {1, "MODE_1", "4x4 SW cl/bw", 4, true},
    {2, "MODE_2", "2x2 SW cl/bw", 2, true},
    {3, "MODE_3", "2x2 HW bw", 2, false},
    {4, "MODE_4", "1x1 HW cl/bw", 1, true},
}};

std::string driverUnderTest();

struct Frame {
    double x = 0, y = 0, width = 0, height = 0;
};

// One received image, saved to a file and read back.
struct ReceivedImage {
    std::string path;
    std::string format;
    FitsContents fits;
};

class IndiCameraTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts indiserver with the driver; `environment` adds to the one every
    // test has (QM_SIM_TIME_SCALE=0), an empty value removes a variable. The
    // server of an earlier start is stopped first.
    void startServer(const std::map<std::string, std::string> &environment = {});
    // startServer, then CONNECTION: CONNECT answered with Ok.
    void startConnected(const std::map<std::string, std::string> &environment = {});

    // Checks that the driver still runs, and stops the server.
    void stopServer();
    // After a connect: the camera's properties defined and filled in.
    void waitForCameraProperties();
    // Chooses the mode and waits until CCD_BINNING follows it; a refusal is
    // asked again for up to `refusedFor` (while an image is still being sent).
    void selectMode(const Mode &mode, Seconds refusedFor = Seconds(0));
    // Sends CCD_FRAME; the frame the driver reports back once it answers Ok
    // (a frame covering the request).
    Frame setFrame(const Frame &requested);
    Frame currentFrame();
    // Starts an exposure and waits for its image. Fails the test if none comes.
    ReceivedImage expose(double seconds);
    // The image of the first BLOB after `since`.
    ReceivedImage receiveImage(uint64_t since, Seconds timeout = kAnswerTimeout);

    // Sends a bad value and expects the property to answer Alert with a message.
    void expectRefused(const std::string &property, const std::function<bool()> &send);

    // Every state the property took, for failure messages.
    std::string history(const std::string &property) const;

    // Writes `word` (present, absent, stall) to the simulated camera's control
    // file, which takes effect at the camera's next call; its path, for
    // QM_SIM_CONTROL.
    std::string setCamera(const std::string &word);

    // Servers started from now on keep their configuration in `home`.
    void useHome(const std::string &home) { home_ = home; }

    IndiTestClient &client() { return *client_; }
    IndiServer &server() { return *server_; }
    const TempDir &files() const { return files_; }

private:
    TempDir files_;
    std::unique_ptr<IndiServer> server_;
    std::unique_ptr<IndiTestClient> client_;
    int saved_ = 0;
    std::string home_;
};

// fitsverify's verdict on a file; "" when it finds nothing wrong.
std::string fitsverifyProblems(const std::string &path);

// The colours of the first two stored rows of a mosaic image: `pattern` (as in
// BAYERPAT) moved by the CCD_CFA offsets.
std::string patternAtOrigin(const std::string &pattern, int offsetX, int offsetY);

}  // namespace qmindi
