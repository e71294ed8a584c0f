// Modes, frames and the FITS images of indi_qm208x_ccd, through a real indiserver.
#include <cmath>
#include <limits>
#include <regex>

#include "tests/capture/sky_checks.h"
#include "tests/indi/indi_camera_fixture.h"

namespace qmindi {
namespace {

// Long enough for the sky glow to show the colour of every mosaic site (green
// 22, red 18, blue 14 electrons a second): the driver waits out every exposure.
constexpr double kSkyExposure = 3;
// Frames compared pixel for pixel need no more than the bias and the noise.
constexpr double kCropExposure = 0.05;

const Mode &mode(int number) { return kModes[static_cast<size_t>(number)]; }

class Modes : public IndiCameraTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(Modes, DeliverTheirFullFrameWithTheirKeywords) {
    const Mode &m = GetParam();
    ASSERT_NO_FATAL_FAILURE(startConnected());
    ASSERT_NO_FATAL_FAILURE(selectMode(m));

    const auto binning = client().property("CCD_BINNING");
    ASSERT_TRUE(binning);
    EXPECT_EQ(binning->number("HOR_BIN"), m.binning);
    EXPECT_EQ(binning->number("VER_BIN"), m.binning);
    const Frame frame = currentFrame();
    EXPECT_EQ(frame.x, 0);
    EXPECT_EQ(frame.y, 0);
    EXPECT_EQ(frame.width, kSensorWidth);
    EXPECT_EQ(frame.height, kSensorHeight);

    const ReceivedImage image = expose(kSkyExposure);
    ASSERT_TRUE(image.fits.ok);
    EXPECT_EQ(image.format, ".fits");
    EXPECT_EQ(fitsverifyProblems(image.path), "");
    const FitsContents &f = image.fits;
    EXPECT_EQ(f.bitpix, 16);
    EXPECT_EQ(f.width, kSensorWidth / m.binning);
    EXPECT_EQ(f.height, kSensorHeight / m.binning);
    EXPECT_EQ(f.text("ROWORDER"), "TOP-DOWN");
    EXPECT_EQ(f.text("INSTRUME"), kDevice);
    EXPECT_EQ(f.real("EXPTIME"), kSkyExposure);
    EXPECT_EQ(f.integer("XBINNING"), m.binning);
    EXPECT_EQ(f.integer("YBINNING"), m.binning);
    EXPECT_EQ(f.integer("XORGSUBF"), 0);
    EXPECT_EQ(f.integer("YORGSUBF"), 0);
    EXPECT_EQ(f.integer("BINMODE"), m.number);
    EXPECT_EQ(f.text("READOUTM"), m.label);
    // The keywords every program of the camera writes for a frame.
    EXPECT_EQ(f.text("IMAGETYP"), "Light Frame");
    EXPECT_EQ(f.text("SWCREATE"), "indi_qm208x_ccd");
    EXPECT_EQ(f.text("TIMESYS"), "UTC");
    EXPECT_TRUE(std::regex_match(f.text("DATE-OBS"),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})")))
        << f.text("DATE-OBS");
    // Nothing the camera does not report: no temperature, no pixel size unset.
    for (const char *key : {"CCD-TEMP", "PIXSIZE1", "PIXSIZE2", "XPIXSZ", "YPIXSZ"}) {
        EXPECT_FALSE(f.has(key)) << key;
    }
    EXPECT_FALSE(client().property("CCD_TEMPERATURE"));

    const auto cfa = client().property("CCD_CFA");
    if (m.mosaic) {
        const std::string shown = patternShownBySky(phaseMedians(f.pixels, f.width, f.height));
        ASSERT_TRUE(cfa) << "no CCD_CFA in a mosaic mode";
        EXPECT_EQ(f.text("BAYERPAT"), cfa->text("CFA_TYPE"));
        EXPECT_EQ(f.integer("XBAYROFF"), std::stol(cfa->text("CFA_OFFSET_X")));
        EXPECT_EQ(f.integer("YBAYROFF"), std::stol(cfa->text("CFA_OFFSET_Y")));
        EXPECT_EQ(patternAtOrigin(f.text("BAYERPAT"), std::stoi(cfa->text("CFA_OFFSET_X")),
                                  std::stoi(cfa->text("CFA_OFFSET_Y"))),
                  shown);
        EXPECT_EQ(shown, "RGGB");
    } else {
        EXPECT_FALSE(cfa) << "CCD_CFA on a mode that mixes colours";
        EXPECT_FALSE(f.has("BAYERPAT"));
    }
}

TEST_F(IndiCameraTest, PixelSizeSetByTheUserReachesTheImageAndOutlivesTheDriver) {
    const TempDir home;
    useHome(home.path());
    ASSERT_NO_FATAL_FAILURE(startConnected());
    ASSERT_NO_FATAL_FAILURE(selectMode(mode(2)));
    const auto unset = client().waitUntil("QM_PIXEL_SIZE", kAnswerTimeout);
    ASSERT_TRUE(unset);
    EXPECT_EQ(unset->number("PIXEL_SIZE"), 0) << "a pixel size nobody set";
    EXPECT_FALSE(expose(0.01).fits.has("PIXSIZE1"));

    const uint64_t since = client().mark();
    ASSERT_TRUE(client().sendNumbers("QM_PIXEL_SIZE", {{"PIXEL_SIZE", 3.75}}));
    ASSERT_TRUE(client().waitFor("QM_PIXEL_SIZE", since, kAnswerTimeout,
                                 [](const PropertySnapshot &p) {
                                     return p.state == IPS_OK && p.number("PIXEL_SIZE") == 3.75;
                                 }));
    // Unbinned size, and the size of a binned pixel (mode 2 bins 2x2).
    const auto expectSizes = [](const FitsContents &f) {
        const struct {
            const char *key;
            double value;
        } sizes[] = {{"PIXSIZE1", 3.75}, {"PIXSIZE2", 3.75}, {"XPIXSZ", 7.5}, {"YPIXSZ", 7.5}};
        for (const auto &size : sizes) {
            ASSERT_TRUE(f.has(size.key)) << size.key;
            EXPECT_EQ(f.real(size.key), size.value) << size.key;
        }
    };
    expectSizes(expose(0.01).fits);

    // Kept in the INDI configuration: a new driver process restores it when
    // the client loads the configuration, as clients do after connecting.
    ASSERT_NO_FATAL_FAILURE(startConnected());
    ASSERT_TRUE(client().waitUntil("CONFIG_PROCESS", kAnswerTimeout));
    ASSERT_TRUE(client().sendSwitch("CONFIG_PROCESS", "CONFIG_LOAD"));
    ASSERT_NO_FATAL_FAILURE(selectMode(mode(2)));
    EXPECT_TRUE(client().waitUntil("QM_PIXEL_SIZE", kAnswerTimeout, [](const PropertySnapshot &p) {
        return p.number("PIXEL_SIZE") == 3.75;
    })) << "pixel size after a restart: " << history("QM_PIXEL_SIZE");
    expectSizes(expose(0.01).fits);
}

INSTANTIATE_TEST_SUITE_P(Every, Modes, ::testing::ValuesIn(kModes),
                         [](const auto &info) { return std::string(info.param.element); });

TEST_F(IndiCameraTest, ModeLabelsAreTheModuleNamesAndBinningFollowsTheMode) {
    ASSERT_NO_FATAL_FAILURE(startConnected());
    const auto modes = client().property("QM_BINNING_MODE");
    ASSERT_TRUE(modes);
    ASSERT_EQ(modes->elements.size(), kModes.size());
    for (const Mode &m : kModes) {
        const Element *e = modes->find(m.element);
        ASSERT_NE(e, nullptr) << m.element;
        EXPECT_EQ(e->label, m.label);
    }

    // Equal factors choose a mode; a mode that already has the factor stays.
    const struct {
        int from;
        int binning;
        int expected;
    } cases[] = {
        {4, 2, 2}, {4, 4, 1}, {2, 1, 4}, {3, 2, 3}, {3, 4, 1},
        {0, 4, 0}, {0, 2, 2}, {1, 1, 4}, {0, 1, 4}, {2, 2, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("from mode " + std::to_string(c.from) + ", binning " +
                     std::to_string(c.binning));
        ASSERT_NO_FATAL_FAILURE(selectMode(mode(c.from)));
        const uint64_t since = client().mark();
        ASSERT_TRUE(client().sendNumbers(
            "CCD_BINNING", {{"HOR_BIN", c.binning}, {"VER_BIN", c.binning}}));
        const auto answer = client().waitFor(
            "CCD_BINNING", since, kAnswerTimeout, [&](const PropertySnapshot &p) {
                return p.state == IPS_ALERT ||
                       (p.state == IPS_OK && p.number("HOR_BIN") == c.binning &&
                        p.number("VER_BIN") == c.binning);
            });
        ASSERT_TRUE(answer) << "CCD_BINNING not answered with the factor asked for";
        EXPECT_EQ(answer->state, IPS_OK);
        const auto chosen = client().waitUntil(
            "QM_BINNING_MODE", kAnswerTimeout,
            [&](const PropertySnapshot &p) { return p.on(mode(c.expected).element); });
        EXPECT_TRUE(chosen) << "mode now "
                            << client().property("QM_BINNING_MODE").value_or(PropertySnapshot{})
                                   .onElement();
    }
    // The binning the client sees is the one of the image.
    ASSERT_NO_FATAL_FAILURE(selectMode(mode(1)));
    const ReceivedImage image = expose(0.01);
    EXPECT_EQ(image.fits.width, kSensorWidth / 4);
    EXPECT_EQ(image.fits.integer("BINMODE"), 1);
}

// Subframes, in unbinned sensor pixels from the top-left corner of the full
// image, against the full frame of the same exposure.
struct SubframeCase {
    int mode;
    Frame request;
    const char *name;
};

class Subframes : public IndiCameraTest, public ::testing::WithParamInterface<int> {};

TEST_P(Subframes, EqualTheCropOfTheFullFrame) {
    const Mode &m = mode(GetParam());
    const int b = m.binning;
    const Frame requests[] = {
        {96, 160, 640, 480},                                   // on every multiple
        {101, 57, 333, 211},                                   // odd values: whole binned pixels
        {3.0 * b, 5.0 * b, 77.0 * b, 45.0 * b},  // on the binning grid, off the window step
        {0, 0, 64, 64},                                        // top-left corner
        {kSensorWidth - 64, kSensorHeight - 64, 64, 64},       // bottom-right corner
        {0, kSensorHeight / 2, kSensorWidth, kSensorHeight / 2},  // lower half, full rows
        {1025, 0, 512, kSensorHeight},                         // full columns
    };
    // Fixed noise: the crop and the full frame are separate exposures.
    ASSERT_NO_FATAL_FAILURE(startConnected({{"QM_SIM_NOISE", "fixed"}}));
    ASSERT_NO_FATAL_FAILURE(selectMode(m));
    const ReceivedImage full = expose(kCropExposure);
    ASSERT_TRUE(full.fits.ok);
    ASSERT_EQ(full.fits.width, kSensorWidth / b);
    const auto fullCfa = client().property("CCD_CFA");

    for (const Frame &r : requests) {
        SCOPED_TRACE(m.element + std::string(" frame ") + std::to_string(r.x) + "," +
                     std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
                     std::to_string(r.height));
        const Frame got = setFrame(r);
        // The whole binned pixels that cover the request: a request on the
        // binning grid exactly, whatever the mode's window step.
        const double left = std::floor(r.x / b) * b, top = std::floor(r.y / b) * b;
        EXPECT_EQ(got.x, left);
        EXPECT_EQ(got.y, top);
        EXPECT_EQ(got.width, std::ceil((r.x + r.width) / b) * b - left);
        EXPECT_EQ(got.height, std::ceil((r.y + r.height) / b) * b - top);

        const ReceivedImage sub = expose(kCropExposure);
        ASSERT_TRUE(sub.fits.ok);
        EXPECT_EQ(fitsverifyProblems(sub.path), "");
        const long x0 = std::lround(got.x) / b, y0 = std::lround(got.y) / b;
        ASSERT_EQ(sub.fits.width, std::lround(got.width) / b);
        ASSERT_EQ(sub.fits.height, std::lround(got.height) / b);
        EXPECT_EQ(sub.fits.integer("XORGSUBF"), x0);
        EXPECT_EQ(sub.fits.integer("YORGSUBF"), y0);
        long differing = 0, firstRow = -1, firstColumn = -1;
        for (long row = 0; row < sub.fits.height; ++row) {
            for (long column = 0; column < sub.fits.width; ++column) {
                const uint16_t s = sub.fits.pixels[static_cast<size_t>(row * sub.fits.width + column)];
                const uint16_t f = full.fits.pixels[static_cast<size_t>(
                    (y0 + row) * full.fits.width + x0 + column)];
                if (s != f && differing++ == 0) {
                    firstRow = row;
                    firstColumn = column;
                }
            }
        }
        EXPECT_EQ(differing, 0) << "first at row " << firstRow << ", column " << firstColumn;

        if (m.mosaic) {
            // The crop's first pixel sits at (x0, y0) of the full image's mosaic.
            ASSERT_TRUE(fullCfa);
            const auto cfa = client().property("CCD_CFA");
            ASSERT_TRUE(cfa);
            const std::string fullPattern =
                patternAtOrigin(fullCfa->text("CFA_TYPE"), std::stoi(fullCfa->text("CFA_OFFSET_X")),
                                std::stoi(fullCfa->text("CFA_OFFSET_Y")));
            EXPECT_EQ(patternAtOrigin(sub.fits.text("BAYERPAT"), std::stoi(cfa->text("CFA_OFFSET_X")),
                                      std::stoi(cfa->text("CFA_OFFSET_Y"))),
                      patternAtOrigin(fullPattern, static_cast<int>(x0), static_cast<int>(y0)));
            EXPECT_EQ(sub.fits.text("BAYERPAT"), cfa->text("CFA_TYPE"));
        } else {
            EXPECT_FALSE(sub.fits.has("BAYERPAT"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Every, Subframes, ::testing::Values(0, 1, 2, 3, 4),
                         [](const auto &info) { return "MODE_" + std::to_string(info.param); });

// Each bad value is refused with Alert and a message, changes nothing, and the
// device goes on serving.
struct BadValue {
    const char *name;
    const char *property;
    std::map<std::string, double> values;
};

const BadValue kBadValues[] = {
    {"Binning3", "CCD_BINNING", {{"HOR_BIN", 3}, {"VER_BIN", 3}}},
    {"BinningUnequal", "CCD_BINNING", {{"HOR_BIN", 2}, {"VER_BIN", 1}}},
    {"FramePastRightEdge", "CCD_FRAME", {{"X", 1500}, {"Y", 0}, {"WIDTH", 1000}, {"HEIGHT", 100}}},
    {"FramePastBottomEdge", "CCD_FRAME", {{"X", 0}, {"Y", 1500}, {"WIDTH", 100}, {"HEIGHT", 100}}},
    {"FrameOutsideSensor", "CCD_FRAME", {{"X", 4000}, {"Y", 3000}, {"WIDTH", 64}, {"HEIGHT", 64}}},
    {"FrameNegativeOrigin", "CCD_FRAME", {{"X", -16}, {"Y", 0}, {"WIDTH", 64}, {"HEIGHT", 64}}},
    {"ExposureNegative", "CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", -1}}},
    {"ExposureAbsurd", "CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", 1e12}}},
    {"ExposureNotANumber",
     "CCD_EXPOSURE",
     {{"CCD_EXPOSURE_VALUE", std::numeric_limits<double>::quiet_NaN()}}},
    {"ExposureInfinite",
     "CCD_EXPOSURE",
     {{"CCD_EXPOSURE_VALUE", std::numeric_limits<double>::infinity()}}},
};

class BadValues : public IndiCameraTest, public ::testing::WithParamInterface<BadValue> {};

TEST_P(BadValues, GetAlertAndAMessageAndChangeNothing) {
    const BadValue &bad = GetParam();
    ASSERT_NO_FATAL_FAILURE(startConnected());
    ASSERT_NO_FATAL_FAILURE(selectMode(mode(2)));
    const Frame before = setFrame({256, 256, 1024, 768});
    const uint64_t since = client().mark();
    ASSERT_NO_FATAL_FAILURE(expectRefused(
        bad.property, [&] { return client().sendNumbers(bad.property, bad.values); }));

    // No exposure started, so no image comes.
    EXPECT_FALSE(client().waitForBlob(since, kQuietPeriod)) << "an image came";
    // The mode, binning and frame are as they were, and an exposure delivers them.
    EXPECT_EQ(client().property("QM_BINNING_MODE").value_or(PropertySnapshot{}).onElement(),
              "MODE_2");
    const ReceivedImage image = expose(0.5);
    const auto binning = client().property("CCD_BINNING");
    ASSERT_TRUE(binning);
    EXPECT_EQ(binning->number("HOR_BIN"), 2);
    EXPECT_EQ(binning->number("VER_BIN"), 2);
    const Frame after = currentFrame();
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
    EXPECT_EQ(after.width, before.width);
    EXPECT_EQ(after.height, before.height);
    EXPECT_EQ(image.fits.width, std::lround(before.width) / 2);
    EXPECT_EQ(image.fits.height, std::lround(before.height) / 2);
    EXPECT_EQ(image.fits.real("EXPTIME"), 0.5);
}

INSTANTIATE_TEST_SUITE_P(Each, BadValues, ::testing::ValuesIn(kBadValues),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qmindi
