// The command line: what is accepted, and the one-line reason for what is not.
#include "tools/capture/arguments.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::vector<std::string> split(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

}  // namespace

TEST(Arguments, AcceptsTable) {
    Options o;
    std::string error;
    ASSERT_TRUE(parseArguments(split("capture"), o, error)) << error;
    EXPECT_EQ(o.command, Command::Capture);
    EXPECT_EQ(o.mode, "4");
    EXPECT_EQ(o.window.kind, WindowRequest::Kind::WholeFrame);
    EXPECT_EQ(o.exposureMs, 1000);
    EXPECT_EQ(o.count, 1u);
    EXPECT_EQ(o.output, kDefaultOutput);
    EXPECT_FALSE(o.png);
    EXPECT_FALSE(o.overwrite);
    EXPECT_FALSE(o.showDriverMessages);
    EXPECT_EQ(o.cameraWaitMs, 3600000);

    ASSERT_TRUE(parseArguments(split("--driver /x/D.so capture -m 2 -w 10,20,100,80 -e 1.5 -n 3 "
                                     "-o out/{n}.fits --png --overwrite --start-number 7 "
                                     "--timeout-margin 2.5 --object M31 --show-driver-messages "
                                     "--camera-wait 90.5"),
                               o, error))
        << error;
    EXPECT_EQ(o.driverPath, "/x/D.so");
    EXPECT_EQ(o.mode, "2");
    EXPECT_EQ(o.window.kind, WindowRequest::Kind::Pixels);
    EXPECT_EQ(o.window.values[0], 10);
    EXPECT_EQ(o.window.values[3], 80);
    EXPECT_EQ(o.exposureMs, 1500);
    EXPECT_EQ(o.count, 3u);
    EXPECT_EQ(o.output, "out/{n}.fits");
    EXPECT_TRUE(o.png);
    EXPECT_TRUE(o.overwrite);
    EXPECT_EQ(o.startNumber, 7u);
    EXPECT_EQ(o.timeoutMarginMs, 2500);
    EXPECT_EQ(o.cameraWaitMs, 90500);
    EXPECT_EQ(o.object, "M31");
    EXPECT_TRUE(o.showDriverMessages);

    ASSERT_TRUE(parseArguments({"capture", "--mode=2x2 SW cl/bw", "--window-fraction=0.25,0,0.5,1"},
                               o, error))
        << error;
    EXPECT_EQ(o.mode, "2x2 SW cl/bw");
    EXPECT_EQ(o.window.kind, WindowRequest::Kind::Fractions);
    EXPECT_DOUBLE_EQ(o.window.values[0], 0.25);
    EXPECT_DOUBLE_EQ(o.window.values[2], 0.5);

    // Of --window and --window-fraction the last given counts; short options
    // take their value attached too.
    ASSERT_TRUE(parseArguments(split("capture -f 0,0,1,1 -m2 -w 1,2,3,4"), o, error)) << error;
    EXPECT_EQ(o.window.kind, WindowRequest::Kind::Pixels);
    EXPECT_EQ(o.mode, "2");
    ASSERT_TRUE(parseArguments(split("capture -w 1,2,3,4 -f 0,0,1,1"), o, error)) << error;
    EXPECT_EQ(o.window.kind, WindowRequest::Kind::Fractions);

    ASSERT_TRUE(parseArguments(split("list --driver ./D.so"), o, error)) << error;
    EXPECT_EQ(o.command, Command::List);
    ASSERT_TRUE(parseArguments(split("--help"), o, error));
    EXPECT_EQ(o.command, Command::Help);
    ASSERT_TRUE(parseArguments(split("capture --version"), o, error));
    EXPECT_EQ(o.command, Command::Version);
    ASSERT_TRUE(parseArguments(split("version"), o, error));
    EXPECT_EQ(o.command, Command::Version);
    ASSERT_TRUE(parseArguments(split("--version -h"), o, error));
    EXPECT_EQ(o.command, Command::Help) << "the later of the two";
}

TEST(Arguments, RefusesTable) {
    const struct {
        const char *line;
        const char *reason;
    } cases[] = {
        {"", "no command given"},
        {"shoot", "unknown command 'shoot'"},
        {"capture list", "unexpected argument 'list'"},
        {"capture --bogus", "unknown option '--bogus'"},
        {"capture -x", "unknown option '-x'"},
        {"capture --mode", "--mode needs a value"},
        {"capture --png=yes", "--png takes no value"},
        {"capture --mode=", "--mode needs a"},
        {"capture -o", "--output needs a value"},
        {"capture -- x", "unknown option '--'"},
        {"--help --bogus", "unknown option '--bogus'"},
        {"capture -e -1", "is not a length in seconds"},
        {"capture -e abc", "is not a length in seconds"},
        {"capture -e 1e3", "is not a length in seconds"},
        {"capture -e nan", "is not a length in seconds"},
        {"capture -e 0.0005", "finer than a millisecond"},
        {"capture -e 600000", "longer than the longest allowed"},
        {"capture -n 0", "--count must be a whole number"},
        {"capture -n 2.5", "--count must be a whole number"},
        {"capture -n 99999999999", "--count must be a whole number"},
        {"capture -w 1,2,3", "must be four values"},
        {"capture -w 1,2,3,4,5", "must be four values"},
        {"capture -w 1,2,-3,4", "whole binned pixel counts"},
        {"capture -w 1,2,3.5,4", "whole binned pixel counts"},
        {"capture -f 0.1,0.1,x,0.5", "four decimals"},
        {"capture --start-number -4", "--start-number must be"},
        {"capture --timeout-margin -1", "--timeout-margin: '-1' is not a length in seconds"},
        {"capture --timeout-margin 0.05", "shorter than the shortest allowed, 0.1 s"},
        {"capture --timeout-margin 3601", "longer than the longest allowed, 3600.000 s"},
        {"capture --camera-wait", "--camera-wait needs a value"},
        {"capture --camera-wait -5", "--camera-wait: '-5' is not a length in seconds"},
        {"capture --camera-wait 86400.001", "longer than the longest allowed, 86400.000 s"},
        {"list --camera-wait 60", "--camera-wait applies to capture only"},
        {"list --png", "--png applies to capture only"},
        {"list -m 2", "--mode applies to capture only"},
        {"capture --type science", "--type must be light, dark, flat or bias"},
        {"capture --type Dark", "--type must be light, dark, flat or bias"},
        {"capture --type bias -e 1", "a bias frame is a zero-length exposure"},
        {"capture -e 0.5 -t bias", "a bias frame is a zero-length exposure"},
        {"capture --pixel-size 0", "--pixel-size must be"},
        {"capture --pixel-size -3.75", "--pixel-size must be"},
        {"capture --pixel-size 100.5", "--pixel-size must be"},
        {"capture --pixel-size 3,75", "--pixel-size must be"},
        {"list --type dark", "--type applies to capture only"},
    };
    for (const auto &c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(parseArguments(split(c.line), o, error)) << "'" << c.line << "'";
        EXPECT_NE(error.find(c.reason), std::string::npos)
            << "'" << c.line << "': '" << error << "' lacks '" << c.reason << "'";
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(Arguments, FrameTypesAndPixelSizeTable) {
    const struct {
        const char *line;
        FrameType type;
        int32_t exposureMs;
        double pixelSize;
    } cases[] = {
        {"capture", FrameType::Light, 1000, 0},
        {"capture --type light -e 30", FrameType::Light, 30000, 0},
        {"capture -t dark -e 120", FrameType::Dark, 120000, 0},
        {"capture --type=flat -e 0.2 --pixel-size 3.75", FrameType::Flat, 200, 3.75},
        {"capture --type bias", FrameType::Bias, 0, 0},
        {"capture -e 0 --type bias", FrameType::Bias, 0, 0},
        {"capture --pixel-size=2.4 -t bias --pixel-size 5", FrameType::Bias, 0, 5},
        {"capture --pixel-size 100", FrameType::Light, 1000, 100},
    };
    for (const auto &c : cases) {
        Options o;
        std::string error;
        ASSERT_TRUE(parseArguments(split(c.line), o, error)) << c.line << ": " << error;
        EXPECT_EQ(o.type, c.type) << c.line;
        EXPECT_EQ(o.exposureMs, c.exposureMs) << c.line;
        EXPECT_DOUBLE_EQ(o.pixelSizeMicrons, c.pixelSize) << c.line;
    }
}

TEST(Arguments, SecondsToMillisecondsTable) {
    const struct {
        const char *text;
        int32_t ms;  // -1: refused
    } cases[] = {
        {"0", 0},           {"1", 1000},   {"1.5", 1500},
        {"0.001", 1},       {"30", 30000}, {"0.1", 100},
        {"2.345", 2345},    {"1.", 1000},  {"536870.911", 536870911},
        {"536870.912", -1}, {".", -1},     {"", -1},
        {"+1", -1},         {"1,5", -1},   {"0.0001", -1},
        {"inf", -1},
    };
    for (const auto &c : cases) {
        int32_t ms = -7;
        std::string error;
        const bool ok = parseSeconds(c.text, kMaxExposureMs, ms, error);
        if (c.ms < 0) {
            EXPECT_FALSE(ok) << "'" << c.text << "' gave " << ms;
        } else {
            ASSERT_TRUE(ok) << "'" << c.text << "': " << error;
            EXPECT_EQ(ms, c.ms) << "'" << c.text << "'";
        }
    }
}
