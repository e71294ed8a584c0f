// The same subframe of the same exposure through qm-capture and through the
// INDI driver: the same image and the same FITS keywords with the same values.
#include <cstdlib>
#include <set>

#include "tests/capture/tool_runner.h"
#include "tests/indi/indi_camera_fixture.h"

namespace qmindi {
namespace {

constexpr double kExposure = 0.05;

// Keywords that differ by nature: when and by which program the file was made.
const std::set<std::string> kOwnKeywords = {"DATE", "DATE-OBS", "SWCREATE", "CHECKSUM", "DATASUM"};

}  // namespace

TEST_F(IndiCameraTest, SubframesEqualQmCapturesOfTheSameExposure) {
    const struct {
        int mode;
        const char *window;  // binned pixels from the top-left, odd origin
        long x, y, width, height;
    } cases[] = {
        {2, "101,57,33,20", 101, 57, 33, 20},
        {4, "301,201,65,47", 301, 201, 65, 47},
    };
    const std::map<std::string, std::string> sim = {{"QM_SIM_NOISE", "fixed"},
                                                    {"QM_SIM_TIME_SCALE", "0"}};
    ASSERT_NO_FATAL_FAILURE(startConnected(sim));
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("mode ") + std::to_string(c.mode) + " window " + c.window);
        const Mode &m = kModes[static_cast<size_t>(c.mode)];
        ASSERT_NO_FATAL_FAILURE(selectMode(m));
        const long b = m.binning;
        setFrame({double(c.x * b), double(c.y * b), double(c.width * b), double(c.height * b)});
        const ReceivedImage indi = expose(kExposure);
        ASSERT_TRUE(indi.fits.ok);

        const ToolResult r =
            runProgram(QM_CAPTURE_PROGRAM,
                       {"capture", "--mode", std::to_string(c.mode), "--window", c.window,
                        "--exposure", "0.05", "--output", "capture.fits", "--overwrite"},
                       files().path(), sim);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const FitsContents captured = readFits(files() / "capture.fits");
        ASSERT_TRUE(captured.ok) << captured.error;

        EXPECT_EQ(indi.fits.width, c.width);
        EXPECT_EQ(indi.fits.height, c.height);
        EXPECT_EQ(captured.width, indi.fits.width);
        EXPECT_EQ(captured.height, indi.fits.height);
        EXPECT_TRUE(captured.pixels == indi.fits.pixels) << "the images differ";
        for (const auto &[name, value] : captured.keys) {
            if (kOwnKeywords.count(name) != 0) {
                continue;
            }
            // Numbers as numbers: libindi 2.x writes EXPTIME as 5.000E-02,
            // 1.9.9 and qm-capture as 0.050.
            const std::string theirs = indi.fits.text(name);
            char *end = nullptr;
            const double ours = std::strtod(value.c_str(), &end);
            if (!value.empty() && *end == '\0' && !theirs.empty()) {
                char *theirEnd = nullptr;
                const double other = std::strtod(theirs.c_str(), &theirEnd);
                EXPECT_TRUE(*theirEnd == '\0' && other == ours) << name << ": " << theirs
                                                                << " against " << value;
            } else {
                EXPECT_EQ(theirs, value) << name << " differs or is missing";
            }
        }
        EXPECT_EQ(captured.text("SWCREATE"), "qm-capture");
        EXPECT_EQ(indi.fits.text("SWCREATE"), "indi_qm208x_ccd");
        EXPECT_EQ(captured.integer("XORGSUBF"), c.x);
        EXPECT_EQ(captured.integer("YORGSUBF"), c.y);
    }
}

}  // namespace qmindi
