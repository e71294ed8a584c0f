// Window requests in binned pixels or fractions, counted from the image's
// top-left, and mode names.
#include "tools/capture/capture_window.h"

#include <gtest/gtest.h>

#include <string>


namespace {

using Kind = WindowRequest::Kind;

WindowRequest request(Kind kind, double x, double y, double w, double h) {
    WindowRequest r;
    r.kind = kind;
    r.values[0] = x;
    r.values[1] = y;
    r.values[2] = w;
    r.values[3] = h;
    return r;
}

std::string text(const Subframe &w) {
    return std::to_string(w.x) + "," + std::to_string(w.y) + " " + std::to_string(w.width) + "x" +
           std::to_string(w.height);
}

const std::vector<std::string> kNames = {"4x4 HW bw", "4x4 SW cl/bw", "2x2 SW cl/bw", "2x2 HW bw",
                                         "1x1 HW cl/bw"};

}  // namespace

TEST(ResolveWindow, AcceptsAndConvertsTable) {
    const struct {
        uint32_t mode;
        WindowRequest request;
        Subframe expected;
    } cases[] = {
        {4, {}, {0, 0, 2048, 1536}},
        {0, {}, {0, 0, 512, 384}},
        {2, {}, {0, 0, 1024, 768}},
        {4, request(Kind::Pixels, 1, 1, 1, 1), {1, 1, 1, 1}},
        {4, request(Kind::Pixels, 2047, 1535, 1, 1), {2047, 1535, 1, 1}},
        {4, request(Kind::Pixels, 333, 77, 1001, 999), {333, 77, 1001, 999}},
        {2, request(Kind::Pixels, 10, 20, 100, 80), {10, 20, 100, 80}},
        {3, request(Kind::Pixels, 1022, 766, 2, 2), {1022, 766, 2, 2}},
        {1, request(Kind::Pixels, 508, 380, 4, 4), {508, 380, 4, 4}},
        {0, request(Kind::Pixels, 0, 0, 512, 384), {0, 0, 512, 384}},
        // Any values inside the frame, off the mode's read steps too.
        {0, request(Kind::Pixels, 2, 0, 8, 8), {2, 0, 8, 8}},
        {1, request(Kind::Pixels, 0, 0, 6, 8), {0, 0, 6, 8}},
        {2, request(Kind::Pixels, 0, 1, 8, 8), {0, 1, 8, 8}},
        {3, request(Kind::Pixels, 1023, 767, 1, 1), {1023, 767, 1, 1}},
        {4, request(Kind::Fractions, 0, 0, 1, 1), {0, 0, 2048, 1536}},
        {4, request(Kind::Fractions, 0.25, 0.25, 0.5, 0.5), {512, 384, 1024, 768}},
        {4, request(Kind::Fractions, 0.1, 0.1, 0.3, 0.3), {204, 153, 614, 460}},
        // Fractions round down to whole pixels: 0.1 x 512 = 51.2 -> 51.
        {0, request(Kind::Fractions, 0.1, 0.1, 0.3, 0.3), {51, 38, 153, 115}},
        {2, request(Kind::Fractions, 0.1, 0.1, 0.3, 0.3), {102, 76, 307, 230}},
        {1, request(Kind::Fractions, 0.5, 0.5, 0.5, 0.5), {256, 192, 256, 192}},
        {3, request(Kind::Fractions, 0.999, 0, 0.001, 1), {1022, 0, 1, 768}},
        {3, request(Kind::Fractions, 0.999, 0, 0.0005, 1), {}},  // width rounds to 0: refused
    };
    for (const auto &c : cases) {
        Subframe window;
        std::string error;
        const bool ok = resolveWindow(c.request, geometryOf(kCameraModes[c.mode]), window, error);
        if (c.expected.width == 0) {
            EXPECT_FALSE(ok) << "mode " << c.mode << " accepted " << text(window);
            continue;
        }
        ASSERT_TRUE(ok) << "mode " << c.mode << ": " << error;
        EXPECT_EQ(window, c.expected) << "mode " << c.mode << ": got " << text(window);
    }
}

TEST(ResolveWindow, RefusesWithAReasonTable) {
    const struct {
        uint32_t mode;
        WindowRequest request;
        const char *reason;
    } cases[] = {
        {4, request(Kind::Pixels, 0, 0, 2049, 1), "does not fit the binned frame of 2048x1536"},
        {4, request(Kind::Pixels, 2000, 0, 49, 1), "does not fit the binned frame of 2048x1536"},
        {2, request(Kind::Pixels, 0, 700, 8, 70), "does not fit the binned frame of 1024x768"},
        {0, request(Kind::Pixels, 0, 0, 516, 4), "does not fit the binned frame of 512x384"},
        {4, request(Kind::Pixels, 0, 0, 0, 10), "is empty"},
        {2, request(Kind::Pixels, 4, 4, 10, 0), "is empty"},
        {4, request(Kind::Pixels, 1.5, 0, 8, 8), "whole number"},
        {4, request(Kind::Fractions, 0.5, 0, 0.6, 1), "does not fit"},
        {4, request(Kind::Fractions, 0, 0, 1.5, 1), "must lie in 0..1"},
        {1, request(Kind::Fractions, 0, 0, 0.001, 0.5), "is empty"},
        {4, request(Kind::Pixels, -1, 0, 8, 8), "whole number"},
    };
    for (const auto &c : cases) {
        Subframe window{7, 7, 7, 7};
        std::string error;
        EXPECT_FALSE(resolveWindow(c.request, geometryOf(kCameraModes[c.mode]), window, error))
            << "mode " << c.mode << " expected: " << c.reason;
        EXPECT_NE(error.find(c.reason), std::string::npos)
            << "mode " << c.mode << ": '" << error << "' lacks '" << c.reason << "'";
        EXPECT_EQ(window, (Subframe{7, 7, 7, 7})) << "changed on refusal, mode " << c.mode;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(ResolveMode, NumbersNamesAndPrefixes) {
    const struct {
        const char *text;
        int expected;  // -1: refused
        const char *reason;
    } cases[] = {
        {"0", 0, ""},
        {"4", 4, ""},
        {"5", -1, "mode 5 does not exist"},
        {"99999999999999999999", -1, "does not exist"},
        {"2x2 SW cl/bw", 2, ""},
        {"2X2 sw CL/BW", 2, ""},
        {"1x1", 4, ""},
        {"2x2 HW", 3, ""},
        {"4x4", -1, "ambiguous"},
        {"2x2", -1, "ambiguous"},
        {"3x3", -1, "no binning mode is called '3x3'"},
        {"", -1, "no binning mode"},
        {"-1", -1, "no binning mode"},
    };
    for (const auto &c : cases) {
        uint32_t mode = 77;
        std::string error;
        const bool ok = resolveMode(c.text, kNames, mode, error);
        if (c.expected < 0) {
            EXPECT_FALSE(ok) << "'" << c.text << "' gave mode " << mode;
            EXPECT_NE(error.find(c.reason), std::string::npos) << "'" << c.text << "': " << error;
        } else {
            ASSERT_TRUE(ok) << "'" << c.text << "': " << error;
            EXPECT_EQ(mode, static_cast<uint32_t>(c.expected)) << "'" << c.text << "'";
        }
    }
}
