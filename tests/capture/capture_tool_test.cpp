// qm-capture end to end: the built tool, the built driver D_QM208X.so loaded at
// run time, and the simulated camera delivering at once (QM_SIM_TIME_SCALE=0).
#include <gtest/gtest.h>
#include <png.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>

#include "simcam/star_field.h"
#include "tests/capture/fits_reader.h"
#include "tests/capture/sky_checks.h"
#include "tests/capture/temp_dir.h"
#include "tests/capture/tool_runner.h"

namespace {

constexpr uint32_t kSeed = 4711;

ToolResult runTool(const TempDir &dir, const std::vector<std::string> &arguments,
                   const std::string &fault = "") {
    return runProgram(QM_CAPTURE_TOOL, arguments, dir.path(),
                      {{"QM_SIM_TIME_SCALE", "0"},
                       {"QM_SIM_SEED", std::to_string(kSeed)},
                       {"QM_SIM_FAULT", fault}});
}

// The --window argument, counted from the image's top-left, for a window in
// the driver's coordinates (y from raw row 0, whose row is the image's last).
std::string windowArgument(uint32_t mode, const PixelWindow &w) {
    const int32_t frameHeight = geometryOf(kCameraModes[mode]).frameHeight;
    return std::to_string(w.x) + "," + std::to_string(frameHeight - w.y - w.height) + "," +
           std::to_string(w.width) + "," + std::to_string(w.height);
}

// DATE-OBS text to a time point; nothing matched gives the epoch.
std::chrono::system_clock::time_point parseFitsTime(const std::string &text) {
    std::tm t{};
    int milliseconds = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &milliseconds) != 7) {
        return {};
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return std::chrono::system_clock::from_time_t(timegm(&t)) +
           std::chrono::milliseconds(milliseconds);
}

struct PngInfo {
    bool ok = false;
    png_uint_32 width = 0, height = 0;
    bool colour = false;
};

PngInfo readPng(const std::string &path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    PngInfo info;
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        info.ok = true;
        info.width = image.width;
        info.height = image.height;
        info.colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
        png_image_free(&image);
    }
    return info;
}

void expectFitsverifyPasses(const std::string &path) {
    const std::string fitsverify = QM_FITSVERIFY;
    if (fitsverify.empty()) {
        return;  // not installed: cfitsio's own checks above still ran
    }
    TempDir dir;
    const ToolResult r = runProgram(fitsverify, {"-q", path}, dir.path(), {});
    EXPECT_EQ(r.exitCode, 0) << path << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find("verification OK"), std::string::npos) << r.out;
}

const simcam::StarField &starField() {
    static const simcam::StarField field(kSeed);
    return field;
}

}  // namespace

TEST(CaptureTool, ListNamesDriverModesAndBinnedSizes) {
    TempDir dir;
    const ToolResult r = runTool(dir, {"list"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("QM-208X VESK driver v1.00"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Vantrel CCD"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("camera: connected"), std::string::npos) << r.out;
    const std::regex line(R"(^\s+(\d)\s+(.+?)\s+(\d+) x (\d+)\s.*$)");
    const struct {
        const char *name;
        int width, height;
    } expected[] = {{"4x4 HW bw", 512, 384},
                    {"4x4 SW cl/bw", 512, 384},
                    {"2x2 SW cl/bw", 1024, 768},
                    {"2x2 HW bw", 1024, 768},
                    {"1x1 HW cl/bw", 2048, 1536}};
    int seen = 0;
    for (const std::string &text : r.outLines()) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) {
            continue;
        }
        const int mode = std::stoi(m[1]);
        ASSERT_LT(mode, 5) << text;
        EXPECT_EQ(m[2], expected[mode].name) << text;
        EXPECT_EQ(std::stoi(m[3]), expected[mode].width) << text;
        EXPECT_EQ(std::stoi(m[4]), expected[mode].height) << text;
        EXPECT_EQ(mode, seen) << "modes out of order";
        ++seen;
    }
    EXPECT_EQ(seen, 5) << r.out;
}

// One frame in every mode, windows given in pixels and as fractions: the files
// arrive, carry the right keywords and pass the FITS checks.
TEST(CaptureTool, EveryModeSavesAVerifiedFrame) {
    const struct {
        const char *mode;  // as typed
        const char *windowOption;
        const char *window;
        uint32_t modeNumber;
        PixelWindow expected;
        int binning;
        const char *bayer;  // "" for none
    } cases[] = {
        {"0", "--window", "8,12,100,60", 0, {8, 12, 100, 60}, 4, ""},
        {"4x4 SW", "--window", "100,40,64,48", 1, {100, 40, 64, 48}, 4, "RGGB"},
        {"2", "--window-fraction", "0.25,0.5,0.5,0.25", 2, {256, 384, 512, 192}, 2, "RGGB"},
        {"2x2 hw bw", "--window", "2,2,300,200", 3, {2, 2, 300, 200}, 2, ""},
        {"4", "--window", "333,77,101,99", 4, {333, 77, 101, 99}, 1, "BGGR"},
        {"2", "--window", "3,5,101,99", 2, {3, 5, 101, 99}, 2, "BGGR"},
        {"1x1", "--window-fraction", "0,0,1,1", 4, {0, 0, 2048, 1536}, 1, "RGGB"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("mode ") + c.mode + " " + c.windowOption + " " + c.window);
        TempDir dir;
        const auto before = std::chrono::system_clock::now();
        const ToolResult r = runTool(dir, {"capture", "--mode", c.mode, c.windowOption, c.window,
                                           "--exposure", "2.5", "--png", "--object", "test field"});
        const auto after = std::chrono::system_clock::now();
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "") << "stderr is not a terminal: no progress expected";
        const std::vector<std::string> saved = r.outLines();
        ASSERT_EQ(saved.size(), 2u) << r.out;
        EXPECT_TRUE(
            std::regex_match(saved[0], std::regex(R"(captures/qm_0001_\d{8}T\d{6}\.\d{3}Z\.fits)")))
            << saved[0];
        EXPECT_EQ(saved[1], saved[0].substr(0, saved[0].size() - 5) + ".png");

        const FitsContents f = readFits(dir / saved[0]);
        ASSERT_TRUE(f.ok) << f.error;
        EXPECT_EQ(f.bitpix, 16);
        EXPECT_EQ(f.integer("BZERO"), 32768);
        EXPECT_EQ(f.width, c.expected.width);
        EXPECT_EQ(f.height, c.expected.height);
        EXPECT_DOUBLE_EQ(f.real("EXPTIME"), 2.5);
        const auto start = parseFitsTime(f.text("DATE-OBS"));
        EXPECT_TRUE(std::regex_match(f.text("DATE-OBS"),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})")))
            << f.text("DATE-OBS");
        EXPECT_GE(start, before - std::chrono::milliseconds(1)) << f.text("DATE-OBS");
        EXPECT_LE(start, after) << f.text("DATE-OBS");
        EXPECT_GE(parseFitsTime(f.text("DATE")), start) << f.text("DATE");
        EXPECT_EQ(f.text("INSTRUME"), "QM-208X VESK") << "the camera as every program names it";
        EXPECT_EQ(f.integer("XBINNING"), c.binning);
        EXPECT_EQ(f.integer("YBINNING"), c.binning);
        EXPECT_EQ(f.integer("XORGSUBF"), c.expected.x);
        EXPECT_EQ(f.integer("YORGSUBF"), c.expected.y);
        EXPECT_EQ(f.integer("BINMODE"), c.modeNumber);
        EXPECT_EQ(f.text("ROWORDER"), "TOP-DOWN");
        EXPECT_EQ(f.text("OBJECT"), "test field");
        if (*c.bayer != 0) {
            EXPECT_EQ(f.text("BAYERPAT"), c.bayer);
        } else {
            EXPECT_FALSE(f.has("BAYERPAT")) << f.text("BAYERPAT");
        }
        EXPECT_EQ(f.dataChecksum, 1);
        EXPECT_EQ(f.headerChecksum, 1);
        // An exposure of the sky: the background lies above the sensor's bias.
        std::vector<uint16_t> sorted = f.pixels;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2),
                         sorted.end());
        EXPECT_GT(sorted[sorted.size() / 2], 1000) << "no sky in the frame";
        expectFitsverifyPasses(dir / saved[0]);

        const PngInfo png = readPng(dir / saved[1]);
        ASSERT_TRUE(png.ok) << saved[1];
        EXPECT_EQ(png.width, static_cast<png_uint_32>(c.expected.width));
        EXPECT_EQ(png.height, static_cast<png_uint_32>(c.expected.height));
        EXPECT_EQ(png.colour, *c.bayer != 0);
        EXPECT_EQ(filesIn(dir / "captures").size(), 2u) << "stray files";
    }
}

// The brightest isolated stars of the simulated sky sit in the saved image where
// the window says: their measured centres map back to their sensor positions,
// and better than under any window one binned pixel away.
TEST(CaptureTool, StarsLandWhereTheWindowSays) {
    const struct {
        uint32_t mode;
        PixelWindow window;
    } cases[] = {
        {4, {300, 200, 800, 600}}, {4, {1001, 333, 640, 481}}, {3, {50, 100, 600, 500}},
        {2, {100, 50, 600, 500}},  {1, {0, 0, 512, 384}},      {0, {0, 0, 512, 384}},
        {0, {64, 48, 256, 200}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " window " + windowArgument(c.mode, c.window));
        TempDir dir;
        const ToolResult r =
            runTool(dir, {"capture", "-m", std::to_string(c.mode), "-w", windowArgument(c.mode, c.window),
                          "-e", "1", "-o", "frame.fits"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const FitsContents f = readFits(dir / "frame.fits");
        ASSERT_TRUE(f.ok) << f.error;

        const SensorGrid grid = sensorGridFor(c.mode, c.window);
        long gridWidth = 0, gridHeight = 0;
        const std::vector<double> values =
            gridValues(f.pixels, f.width, f.height, grid.cell, gridWidth, gridHeight);
        const long radius = static_cast<long>(std::ceil(9.0 / grid.dx)) + 1;
        // Centres found, in grid units, and the stars they belong to.
        std::vector<std::array<double, 2>> centres;
        std::vector<simcam::Star> stars;
        for (const simcam::Star &star :
             starField().brightestStars(simcam::StarField::kStarCount, 20.0, 30.0)) {
            if (star.flux < 1500 || star.flux > 60000 || centres.size() >= 5) {
                continue;
            }
            const double row = (star.y - grid.y0) / grid.dy;
            const double column = (star.x - grid.x0) / grid.dx;
            double centreRow = 0, centreColumn = 0;
            if (row < radius + 1 || column < radius + 1 || row > gridHeight - radius - 2 ||
                column > gridWidth - radius - 2 ||
                !centroidNear(values, gridWidth, gridHeight, row, column, radius, centreRow,
                              centreColumn)) {
                continue;
            }
            centres.push_back({centreRow, centreColumn});
            stars.push_back(star);
        }
        ASSERT_GE(centres.size(), 2u) << "too few stars in the window to check";
        const auto meanError = [&](const PixelWindow &w) {
            const SensorGrid g = sensorGridFor(c.mode, w);
            double total = 0;
            for (size_t i = 0; i < centres.size(); ++i) {
                total += std::hypot(g.x0 + g.dx * centres[i][1] - stars[i].x,
                                    g.y0 + g.dy * centres[i][0] - stars[i].y);
            }
            return total / static_cast<double>(centres.size());
        };
        // Within half a grid unit; in the binned modes a star of about 3 pixels
        // FWHM mostly falls into one cell, which pulls its centre towards the
        // cell's, so the comparison with the moved windows below carries the weight.
        const double error = meanError(c.window);
        EXPECT_LT(error, 0.45 * grid.dx) << centres.size() << " stars";
        const PixelWindow w = c.window;
        for (const PixelWindow &moved : {PixelWindow{w.x + 1, w.y, w.width, w.height},
                                         PixelWindow{w.x - 1, w.y, w.width, w.height},
                                         PixelWindow{w.x, w.y + 1, w.width, w.height},
                                         PixelWindow{w.x, w.y - 1, w.width, w.height}}) {
            EXPECT_LT(error, meanError(moved))
                << "window " << windowArgument(c.mode, moved) << " explains the stars as well";
        }
    }
}

// The colours the saved samples show (the simulated sky is brightest in green,
// then red, then blue) are the ones BAYERPAT names, for every parity of the
// first raw row and column in mode 4 and for the binned colour modes.
TEST(CaptureTool, ColourPhaseOfSavedFilesMatchesBayerpat) {
    const struct {
        uint32_t mode;
        const char *windowOption;
        const char *window;
        const char *bayer;
    } cases[] = {
        {4, "-w", "100,1372,64,64", "RGGB"},  // first raw row 164, column 100
        {4, "-w", "101,1372,64,64", "GRBG"},
        {4, "-w", "100,1373,64,63", "GBRG"},
        {4, "-w", "101,1371,64,64", "BGGR"},
        {4, "-f", "0.5,0.5,0.1,0.1", "RGGB"},  // 1024,768 204x153 from the top-left
        {2, "-w", "102,654,64,64", "RGGB"},
        {2, "-w", "0,0,1024,768", "RGGB"},
        {1, "-w", "40,300,64,64", "RGGB"},
        // Cut from a window read on the mode's steps: the crop's phase.
        {2, "-w", "103,654,63,64", "GRBG"},
        {2, "-w", "102,655,64,63", "GBRG"},
        {1, "-w", "41,301,63,63", "BGGR"},
        {4, "-w", "333,77,101,99", "BGGR"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " " + c.window);
        TempDir dir;
        const ToolResult r = runTool(dir, {"capture", "-m", std::to_string(c.mode), c.windowOption,
                                           c.window, "-e", "60", "-o", "sky.fits"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const FitsContents f = readFits(dir / "sky.fits");
        ASSERT_TRUE(f.ok) << f.error;
        EXPECT_EQ(f.text("BAYERPAT"), c.bayer);
        EXPECT_EQ(patternShownBySky(phaseMedians(f.pixels, f.width, f.height)), c.bayer);
    }
    // Modes 0 and 3 sum sensor rows in pairs: no row shows one colour alone.
    for (uint32_t mode : {0u, 3u}) {
        TempDir dir;
        const ToolResult r = runTool(dir, {"capture", "-m", std::to_string(mode), "-w",
                                           "40,40,64,64", "-e", "60", "-o", "sky.fits"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const FitsContents f = readFits(dir / "sky.fits");
        ASSERT_TRUE(f.ok) << f.error;
        EXPECT_FALSE(f.has("BAYERPAT")) << "mode " << mode;
        const auto medians = phaseMedians(f.pixels, f.width, f.height);
        EXPECT_EQ(patternShownBySky(medians), "") << "mode " << mode;
        EXPECT_NEAR(medians[0], medians[2], 0.01 * medians[0])
            << "mode " << mode << ": rows differ";
        EXPECT_NEAR(medians[1], medians[3], 0.01 * medians[1])
            << "mode " << mode << ": rows differ";
    }
}

TEST(CaptureTool, SequenceNumbersResumePastExistingFiles) {
    TempDir dir;
    const std::string output = "seq/m31_{n:04}_{utc}.fits";
    ToolResult r = runTool(dir, {"capture", "-m", "1", "-e", "0.1", "-n", "3", "-o", output});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(r.outLines().size(), 3u) << r.out;
    r = runTool(dir, {"capture", "-m", "1", "-e", "0.1", "-n", "2", "-o", output, "--png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> files = filesIn(dir / "seq");
    ASSERT_EQ(files.size(), 7u);
    for (int n = 1; n <= 5; ++n) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "m31_%04d_", n);
        EXPECT_EQ(std::count_if(files.begin(), files.end(),
                                [&](const std::string &f) {
                                    return f.rfind(prefix, 0) == 0 && f.size() > 5 &&
                                           f.compare(f.size() - 5, 5, ".fits") == 0;
                                }),
                  1)
            << "frame " << n;
        const FitsContents fits = readFits(
            dir / ("seq/" + *std::find_if(files.begin(), files.end(), [&](const std::string &f) {
                       return f.rfind(prefix, 0) == 0;
                   })));
        EXPECT_TRUE(fits.ok) << fits.error;
    }
    r = runTool(dir, {"capture", "-m", "1", "-e", "0", "-o", output, "--start-number", "40"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.outLines().at(0).rfind("seq/m31_0040_", 0), 0u) << r.out;
}

TEST(CaptureTool, ExistingFileIsKeptUnlessOverwriteIsGiven) {
    TempDir dir;
    dir.touch("keep.fits", "precious");
    ToolResult r = runTool(dir, {"capture", "-m", "1", "-e", "0", "-o", "keep.fits"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.errLine().find("keep.fits already exists (use --overwrite to replace it)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(readText(dir / "keep.fits"), "precious");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"keep.fits"});

    dir.touch("shot.png", "precious too");
    r = runTool(dir, {"capture", "-m", "1", "-e", "0", "-o", "shot.fits", "--png"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.errLine().find("shot.png already exists"), std::string::npos) << r.err;
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"keep.fits", "shot.png"}));

    r = runTool(dir, {"capture", "-m", "1", "-e", "0", "-o", "keep.fits", "--overwrite"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(readFits(dir / "keep.fits").ok);
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"keep.fits", "shot.png"}));
}

// A camera that never delivers is not waited for here (--camera-wait 0): the
// sequence ends at its first frame with the status of a camera gone.
TEST(CaptureTool, CameraFaultsEndWithOneLineAndNoFile) {
    const struct {
        const char *fault;
        int exitCode;
        const char *message;
    } cases[] = {
        {"no-camera", 1, "camera not found"},
        {"initial-video", 1, "camera not found"},
        {"start-view", 1, "camera not found"},
        {"enable-ae", 1, "camera not found"},
        {"never-completes", 4, "frame 1: no image from the camera after"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        const ToolResult r = runTool(dir,
                                     {"capture", "-m", "2", "-e", "0", "--timeout-margin", "0.4",
                                      "--camera-wait", "0", "-o", "x.fits"},
                                     c.fault);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.fault;
        EXPECT_EQ(r.errLine().rfind("qm-capture: ", 0), 0u) << c.fault << ": " << r.err;
        EXPECT_NE(r.errLine().find(c.message), std::string::npos) << c.fault << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.fault;
        EXPECT_TRUE(filesIn(dir.path()).empty()) << c.fault << ": a file was written";
    }
}

TEST(CaptureTool, BadInputEndsWithOneLineBeforeAnyExposure) {
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        const char *message;
    } cases[] = {
        {{"capture", "-m", "7"}, 2, "mode 7 does not exist"},
        {{"capture", "-m", "3x3"}, 2, "no binning mode is called '3x3'"},
        {{"capture", "-m", "4x4"}, 2, "ambiguous"},
        {{"capture", "-m", "2", "-w", "0,0,1026,64"},
         2,
         "does not fit the binned frame of 1024x768"},
        {{"capture", "-m", "4", "-w", "2000,0,100,64"},
         2,
         "does not fit the binned frame of 2048x1536"},
        {{"capture", "-m", "4", "-f", "0.5,0.5,0.6,0.1"}, 2, "does not fit"},
        {{"capture", "-e", "-3"}, 2, "is not a length in seconds"},
        {{"capture", "-e", "ten"}, 2, "is not a length in seconds"},
        {{"capture", "-n", "0"}, 2, "--count must be"},
        {{"capture", "-n", "2", "-o", "same.fits"}, 2, "needs {n}"},
        {{"capture", "-o", "x_{q}.fits"}, 2, "unknown token {q}"},
        {{"capture", "--frobnicate"}, 2, "unknown option '--frobnicate'"},
        {{"snap"}, 2, "unknown command 'snap'"},
        {{}, 2, "no command given"},
        {{"capture", "-o", "/proc/self/x_{n}.fits"},
         1,
         "cannot write to output directory /proc/self"},
        {{"capture", "-o", "plainfile/x_{n}.fits"}, 1, "cannot create output directory plainfile"},
        {{"capture", "-o", "/tmp"}, 2, "--output names the directory /tmp"},
        {{"capture", "--driver", "/nonexistent/D_QM208X.so"},
         1,
         "cannot use driver: /nonexistent/D_QM208X.so"},
        {{"capture", "--driver", QM_PARTIAL_DRIVER}, 1, "does not export d_SetupCCD"},
        {{"list", "--driver", QM_PARTIAL_DRIVER}, 1, "does not export d_SetupCCD"},
    };
    for (const auto &c : cases) {
        std::string line;
        for (const std::string &a : c.arguments) {
            line += a + " ";
        }
        TempDir dir;
        dir.touch("plainfile");
        // With no camera present, a refusal that came after connecting would say so.
        const ToolResult r = runTool(dir, c.arguments, "no-camera");
        EXPECT_EQ(r.exitCode, c.exitCode) << line << "\n" << r.err;
        EXPECT_EQ(r.errLine().rfind("qm-capture: ", 0), 0u) << line << ": not one line: " << r.err;
        EXPECT_NE(r.errLine().find(c.message), std::string::npos) << line << ": " << r.err;
        EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"plainfile"}) << line;
    }
}

// On a terminal a pending exposure shows elapsed and remaining time on one line
// rewritten in place, cleared before the saved path is printed. The simulated
// camera runs in real time here, so the 1.2 s exposure is still pending at the
// first polls however fast the machine is.
TEST(CaptureTool, ProgressOnATerminalOnly) {
    TempDir dir;
    const ToolResult r = runProgramOnTerminal(
        QM_CAPTURE_TOOL, {"capture", "-m", "1", "-e", "1.2", "-o", "p.fits"}, dir.path(),
        {{"QM_SIM_TIME_SCALE", "1"}, {"QM_SIM_SEED", std::to_string(kSeed)}, {"QM_SIM_FAULT", ""}});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(R"(\rframe 1/1: exposing \d+\.\d s of 1\.2 s, \d+\.\d s left)")))
        << r.out;
    // The terminal ends lines with "\r\n"; the path's line is the first to end.
    EXPECT_GT(r.out.find('\n'), r.out.find("p.fits")) << "progress took more than one line";
    EXPECT_NE(r.out.find("\r\033[Kp.fits"), std::string::npos) << "line not cleared: " << r.out;
    EXPECT_TRUE(readFits(dir / "p.fits").ok);
}

TEST(CaptureTool, HelpAndVersion) {
    TempDir dir;
    ToolResult r = runTool(dir, {"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("--window-fraction"), std::string::npos);
    // The version and the driver's name come from the module alone: with no
    // camera present they are still given, and list still names the modes.
    const struct {
        std::vector<std::string> arguments;
        const char *fault;
        const char *says;
    } cases[] = {
        {{"--version"}, "", "driver: QM-208X VESK driver v1.00 ("},
        {{"--version"}, "no-camera", "driver: QM-208X VESK driver v1.00 ("},
        {{"version"}, "no-camera", "driver: QM-208X VESK driver v1.00 ("},
        {{"capture", "--version"}, "no-camera", "driver: QM-208X VESK driver v1.00 ("},
        {{"list"}, "no-camera", "camera: not found\nmodes:\n  0  4x4 HW bw"},
    };
    for (const auto &c : cases) {
        r = runTool(dir, c.arguments, c.fault);
        const std::string line = c.arguments.front() + " " + c.fault;
        EXPECT_EQ(r.exitCode, 0) << line << ": " << r.err;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << line << ": " << r.out;
        if (c.arguments.front() != "list") {
            EXPECT_EQ(r.out.rfind("qm-capture ", 0), 0u) << line << ": " << r.out;
        }
    }
}
