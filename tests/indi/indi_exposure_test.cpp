// Exposures of indi_qm208x_ccd through a real indiserver: sequences, abort,
// requests while one runs, and how quickly the driver answers meanwhile.
#include <algorithm>
#include <thread>

#include "tests/indi/indi_camera_fixture.h"

namespace qmindi {
namespace {

using std::chrono::milliseconds;

// Median of the stored samples: grows with the exposure (sky, dark current).
double medianSample(const FitsContents &f) {
    std::vector<uint16_t> v = f.pixels;
    if (v.empty()) {
        return 0;
    }
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

TEST_F(IndiCameraTest, SequenceDeliversEveryFrameInOrder) {
    ASSERT_NO_FATAL_FAILURE(startConnected());
    ASSERT_NO_FATAL_FAILURE(selectMode(kModes[1]));
    // Each exposure is requested the moment the previous image arrives, as a
    // sequencing client does; lengths differ, so every image is told apart
    // (mode 1 sums 16 sites: the median grows by about 30 a step).
    constexpr int kFrames = 8;
    const uint64_t since = client().mark();
    double previousMedian = 0;
    for (int i = 1; i <= kFrames; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const double seconds = i / 10.0;
        const ReceivedImage image = expose(seconds);
        ASSERT_TRUE(image.fits.ok);
        EXPECT_EQ(image.fits.real("EXPTIME"), seconds);
        EXPECT_EQ(image.fits.width, kSensorWidth / 4);
        const double median = medianSample(image.fits);
        EXPECT_GT(median, previousMedian) << "not the image of this exposure";
        previousMedian = median;
    }
    // One image per exposure, and one exposure answered Ok per image.
    ASSERT_TRUE(client().waitUntil("CCD_EXPOSURE", kAnswerTimeout,
                                   [](const PropertySnapshot &p) { return p.state == IPS_OK; }));
    EXPECT_FALSE(client().waitForBlob(client().mark(), kQuietPeriod)) << "an extra image came";
    int completed = 0;
    for (const PropertySnapshot &p : client().updatesSince("CCD_EXPOSURE", since)) {
        completed += p.state == IPS_OK;
    }
    EXPECT_EQ(completed, kFrames);
}

TEST_F(IndiCameraTest, AbortEndsTheExposureAtOnceAndTheNextOneDelivers) {
    // Fixed noise: the image after the abort is compared with a later exposure.
    ASSERT_NO_FATAL_FAILURE(startConnected({{"QM_SIM_TIME_SCALE", "1"}, {"QM_SIM_NOISE", "fixed"}}));
    ASSERT_NO_FATAL_FAILURE(selectMode(kModes[4]));
    const uint64_t since = client().mark();
    ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", 2.5}}));
    ASSERT_TRUE(client().waitFor("CCD_EXPOSURE", since, kAnswerTimeout,
                                 [](const PropertySnapshot &p) { return p.state == IPS_BUSY; }));
    std::this_thread::sleep_for(milliseconds(400));

    const uint64_t aborting = client().mark();
    const Clock::time_point abortSent = Clock::now();
    ASSERT_TRUE(client().sendSwitch("CCD_ABORT_EXPOSURE", "ABORT"));
    const auto aborted = client().waitFor(
        "CCD_EXPOSURE", aborting, kAnswerTimeout,
        [](const PropertySnapshot &p) { return p.state != IPS_BUSY; });
    ASSERT_TRUE(aborted) << "exposure not ended";
    EXPECT_NE(aborted->state, IPS_OK) << "an aborted exposure reported as complete";
    // At once: well before the camera's frame is due (2.1 s later).
    EXPECT_LT(Seconds(aborted->time - abortSent).count(), 1.0);
    const auto abortAnswer = client().waitFor(
        "CCD_ABORT_EXPOSURE", aborting, kAnswerTimeout,
        [](const PropertySnapshot &p) { return p.state != IPS_BUSY; });
    ASSERT_TRUE(abortAnswer);
    EXPECT_EQ(abortAnswer->state, IPS_OK);

    // Requested while the camera still works on the discarded frame: it starts
    // once the camera is free, and its image is its own.
    const uint64_t next = client().mark();
    ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", 0.3}}));
    const ReceivedImage image = receiveImage(next, kAnswerTimeout);
    ASSERT_TRUE(image.fits.ok);
    EXPECT_EQ(image.fits.real("EXPTIME"), 0.3);
    EXPECT_FALSE(client().waitForBlob(client().mark(), kQuietPeriod)) << "a late image came";
    const ReceivedImage again = expose(0.3);
    ASSERT_TRUE(again.fits.ok);
    ASSERT_EQ(again.fits.pixels.size(), image.fits.pixels.size());
    EXPECT_TRUE(again.fits.pixels == image.fits.pixels)
        << "the image after the abort is not a 0.3 s frame";
}

TEST_F(IndiCameraTest, ExposureRequestedWhileOneRunsIsRefusedAndTheRunningOneDelivers) {
    ASSERT_NO_FATAL_FAILURE(startConnected({{"QM_SIM_TIME_SCALE", "1"}}));
    const uint64_t since = client().mark();
    ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", 1.5}}));
    ASSERT_TRUE(client().waitFor("CCD_EXPOSURE", since, kAnswerTimeout,
                                 [](const PropertySnapshot &p) { return p.state == IPS_BUSY; }));
    std::this_thread::sleep_for(milliseconds(300));

    const uint64_t second = client().mark();
    ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", 0.2}}));
    const auto refusal = client().waitFor(
        "CCD_EXPOSURE", second, kAnswerTimeout,
        [](const PropertySnapshot &p) { return p.state == IPS_ALERT; });
    EXPECT_TRUE(refusal) << "no Alert for an exposure while one runs";
    EXPECT_FALSE(client().messagesSince(second).empty()) << "no message for the refusal";

    const ReceivedImage image = receiveImage(since, kAnswerTimeout);
    ASSERT_TRUE(image.fits.ok);
    EXPECT_EQ(image.fits.real("EXPTIME"), 1.5);
    EXPECT_FALSE(client().waitForBlob(client().mark(), kQuietPeriod))
        << "the refused exposure delivered an image";
    EXPECT_EQ(expose(0.2).fits.real("EXPTIME"), 0.2);
}

TEST_F(IndiCameraTest, PropertyChangesAreAnsweredPromptlyWhileAnExposureRuns) {
    ASSERT_NO_FATAL_FAILURE(startConnected({{"QM_SIM_TIME_SCALE", "1"}}));
    ASSERT_TRUE(client().waitUntil("UPLOAD_SETTINGS", kAnswerTimeout));
    constexpr double kExposure = 3;
    const uint64_t since = client().mark();
    ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", kExposure}}));
    ASSERT_TRUE(client().waitFor("CCD_EXPOSURE", since, kAnswerTimeout,
                                 [](const PropertySnapshot &p) { return p.state == IPS_BUSY; }));

    // Changes spread over the exposure, so some meet the module's pending polls.
    std::vector<double> answers;
    for (int i = 0; i < 10; ++i) {
        const std::string prefix = "answer_" + std::to_string(i) + "_XXX";
        const uint64_t sent = client().mark();
        const Clock::time_point start = Clock::now();
        ASSERT_TRUE(client().sendTexts("UPLOAD_SETTINGS", {{"UPLOAD_PREFIX", prefix}}));
        const auto answer =
            client().waitFor("UPLOAD_SETTINGS", sent, kAnswerTimeout,
                             [&](const PropertySnapshot &p) { return p.text("UPLOAD_PREFIX") == prefix; });
        ASSERT_TRUE(answer);
        answers.push_back(Seconds(answer->time - start).count());
        std::this_thread::sleep_for(milliseconds(170));
    }
    const auto image = client().waitForBlob(since, kAnswerTimeout + Seconds(kExposure));
    ASSERT_TRUE(image) << "no image";

    // A driver that waited on the camera in INDI's event loop would answer
    // after up to 200 ms (a pending poll); the bounds leave room for a busy machine.
    std::vector<double> sorted = answers;
    std::sort(sorted.begin(), sorted.end());
    std::string all;
    for (const double a : answers) {
        all += std::to_string(a) + " ";
    }
    EXPECT_LE(sorted[sorted.size() / 2], 0.050) << "answers (s): " << all;
    EXPECT_LE(sorted.back(), 0.5) << "answers (s): " << all;

    // The countdown: busy updates of the remaining time, falling.
    double last = kExposure + 1;
    int countdown = 0;
    for (const PropertySnapshot &p : client().updatesSince("CCD_EXPOSURE", since)) {
        if (p.state == IPS_BUSY) {
            EXPECT_LE(p.number("CCD_EXPOSURE_VALUE"), last);
            last = p.number("CCD_EXPOSURE_VALUE");
            ++countdown;
        }
    }
    EXPECT_GE(countdown, 2) << "no countdown";
    EXPECT_LT(last, 1.5);
}

}  // namespace
}  // namespace qmindi
