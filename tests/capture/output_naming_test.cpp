// File name templates, their expansion and the resumption of a numbered sequence.
#include "tools/capture/output_naming.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/capture/temp_dir.h"

namespace {

NameTemplate parsed(const std::string &text) {
    NameTemplate t;
    std::string error;
    EXPECT_TRUE(parseNameTemplate(text, t, error)) << text << ": " << error;
    return t;
}

constexpr const char *kStamp = "20261207T232013.123Z";

}  // namespace

TEST(NameTemplate, ExpandsTable) {
    const struct {
        const char *text;
        uint64_t number;
        uint32_t mode;
        const char *type;
        const char *expected;
    } cases[] = {
        {"captures/m31_{n:04}_{utc}.fits", 7, 4, "light",
         "captures/m31_0007_20261207T232013.123Z.fits"},
        {"frame{n}.fits", 12, 0, "light", "frame12.fits"},
        {"frame{n:2}.fits", 123, 0, "light", "frame123.fits"},
        {"/abs/dir/x_{mode}_{n:03}.fit", 5, 2, "light", "/abs/dir/x_2_005.fit"},
        {"plain.fits", 9, 1, "dark", "plain.fits"},
        {"{{braces}}_{n}.fits", 1, 1, "light", "{braces}_1.fits"},
        {"a/b/c/{utc}", 1, 3, "light", "a/b/c/20261207T232013.123Z"},
        {"cal/{type}_{mode}_{n:03}.fits", 4, 3, "dark", "cal/dark_3_004.fits"},
        {"{type}{type}.fits", 1, 0, "bias", "biasbias.fits"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(expandName(parsed(c.text), c.number, kStamp, {c.mode, c.type}), c.expected)
            << c.text;
    }
}

TEST(NameTemplate, RefusesTable) {
    const struct {
        const char *text;
        const char *reason;
    } cases[] = {
        {"x_{k}.fits", "unknown token {k}"},
        {"x_{n:0}.fits", "counter width"},
        {"x_{n:10}.fits", "counter width"},
        {"x_{n:ab}.fits", "counter width"},
        {"x_{n.fits", "unclosed '{'"},
        {"x_}.fits", "unmatched '}'"},
        {"dir_{n}/x.fits", "only in the file name"},
        {"captures/", "names no file"},
        {"captures/..", "names no file"},
    };
    for (const auto &c : cases) {
        NameTemplate t;
        std::string error;
        EXPECT_FALSE(parseNameTemplate(c.text, t, error)) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
    }
}

TEST(NameTemplate, PreviewNames) {
    const struct {
        const char *fits;
        const char *png;
    } cases[] = {
        {"a/x.fits", "a/x.png"}, {"a/x.FITS", "a/x.png"}, {"x.fit", "x.png"},
        {"x.fts", "x.png"},      {"x", "x.png"},          {"x.fits.gz", "x.fits.gz.png"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(previewPathOf(c.fits), c.png) << c.fits;
    }
    EXPECT_EQ(expandName(previewTemplateOf(parsed("d/f_{n:03}.fits")), 4, kStamp, {}),
              "d/f_004.png");
    EXPECT_EQ(expandName(previewTemplateOf(parsed("d/f_{n}")), 4, kStamp, {}), "d/f_4.png");
}

TEST(NameTemplate, MatchesOnlyItsOwnNames) {
    const NameTemplate t = parsed("m31_{n:04}_{utc}.fits");
    const struct {
        const char *name;
        uint32_t mode;
        bool matches;
        uint64_t number;
    } cases[] = {
        {"m31_0007_20261207T232013.123Z.fits", 0, true, 7},
        {"m31_12345_20261207T232013.123Z.fits", 0, true, 12345},
        {"m31_7_20261207T232013.123Z.fits", 0, true, 7},
        {"m31_0007_20261207T232013.123Z.fits.tmp", 0, false, 0},
        {"m31_0007_2026-12-07.fits", 0, false, 0},
        {"m32_0007_20261207T232013.123Z.fits", 0, false, 0},
        {"m31__20261207T232013.123Z.fits", 0, false, 0},
        {".m31_0007_20261207T232013.123Z.fits.AbCdEf", 0, false, 0},
    };
    for (const auto &c : cases) {
        uint64_t number = 99;
        EXPECT_EQ(matchName(t, c.name, {c.mode}, number), c.matches) << c.name;
        if (c.matches) {
            EXPECT_EQ(number, c.number) << c.name;
        }
    }
    const NameTemplate withMode = parsed("x_{mode}_{n}.fits");
    uint64_t number = 0;
    EXPECT_TRUE(matchName(withMode, "x_2_5.fits", {2}, number));
    EXPECT_EQ(number, 5u);
    EXPECT_FALSE(matchName(withMode, "x_3_5.fits", {2}, number));
    // Darks and flats of one template count apart.
    const NameTemplate withType = parsed("{type}_{n}.fits");
    EXPECT_TRUE(matchName(withType, "flat_12.fits", {0, "flat"}, number));
    EXPECT_EQ(number, 12u);
    EXPECT_FALSE(matchName(withType, "dark_12.fits", {0, "flat"}, number));
}

TEST(NameTemplate, SequenceResumesPastExistingFiles) {
    TempDir dir;
    const NameTemplate t = parsed(dir.path() + "/m31_{n:04}_{utc}.fits");
    EXPECT_EQ(firstFreeNumber(t, {4}, 1), 1u) << "empty directory";
    dir.touch("m31_0001_20261207T232013.123Z.fits");
    dir.touch("m31_0003_20261207T232014.500Z.fits");
    dir.touch("unrelated_0099.fits");
    dir.touch("m31_0050.fits");  // no timestamp: not this template's
    EXPECT_EQ(firstFreeNumber(t, {4}, 1), 4u);
    EXPECT_EQ(firstFreeNumber(t, {4}, 10), 10u) << "a higher start number wins";
    // A preview left alone still holds its number.
    dir.touch("m31_0008_20261207T232015.000Z.png");
    EXPECT_EQ(firstFreeNumber(t, {4}, 1), 9u);
    const NameTemplate missing = parsed(dir.path() + "/nothing/here_{n}.fits");
    EXPECT_EQ(firstFreeNumber(missing, {4}, 3), 3u) << "missing directory";
}

TEST(NameTemplate, TimestampsInUtcWithMilliseconds) {
    // 2026-12-07 23:20:13.123 UTC
    const std::chrono::system_clock::time_point t{std::chrono::milliseconds(1796685613123LL)};
    EXPECT_EQ(utcStamp(t), "20261207T232013.123Z");
    const std::chrono::system_clock::time_point epoch{};
    EXPECT_EQ(utcStamp(epoch + std::chrono::milliseconds(999)), "19700101T000000.999Z");
}
