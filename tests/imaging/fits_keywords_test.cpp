// A frame's FITS keywords from its description, and the same keywords read
// back by cfitsio from a file they were written into.
#include "imaging/fits_keywords.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "imaging/fits_keyword_writer.h"

namespace {

FrameDescription frameOf(uint32_t mode, Subframe subframe, double pixelSize) {
    FrameDescription frame;
    frame.plan = planFrame(subframe, mode);
    frame.modeName = "mode " + std::to_string(mode);
    frame.exposureSeconds = 2.5;
    frame.startUtc = std::chrono::sys_days{std::chrono::year{2026} / 12 / 9} +
                     std::chrono::milliseconds(3723042);
    frame.pixelSizeMicrons = pixelSize;
    frame.driverName = "D_QM208X";
    frame.program = "qm-capture";
    return frame;
}

// Every keyword's value as text, as a reader compares them.
std::map<std::string, std::string> valuesOf(const std::vector<FitsKeyword> &keywords) {
    std::map<std::string, std::string> values;
    for (const FitsKeyword &k : keywords) {
        switch (k.kind) {
            case FitsKeyword::Kind::Text: values[k.name] = k.text; break;
            case FitsKeyword::Kind::Integer: values[k.name] = std::to_string(k.integer); break;
            default: values[k.name] = std::to_string(k.real); break;
        }
    }
    return values;
}

}  // namespace

TEST(FitsKeywords, FramesGiveTheirOriginBinningColoursAndPixelSize) {
    const struct {
        uint32_t mode;
        Subframe subframe;
        double pixelSize;
        std::map<std::string, std::string> expected;  // "" means absent
    } cases[] = {
        {4, {0, 0, 2048, 1536}, 3.75,
         {{"XBINNING", "1"}, {"XORGSUBF", "0"}, {"YORGSUBF", "0"}, {"BAYERPAT", "RGGB"},
          {"XBAYROFF", "0"}, {"YBAYROFF", "0"}, {"BINMODE", "4"}, {"READOUTM", "mode 4"},
          {"PIXSIZE1", "3.750000"}, {"XPIXSZ", "3.750000"}, {"ROWORDER", "TOP-DOWN"}}},
        {4, {301, 200, 65, 47}, 3.75,
         {{"XORGSUBF", "301"}, {"YORGSUBF", "200"}, {"BAYERPAT", "GRBG"}}},
        {4, {2, 7, 10, 10}, 0,
         {{"BAYERPAT", "GBRG"}, {"PIXSIZE1", ""}, {"PIXSIZE2", ""}, {"XPIXSZ", ""}}},
        {2, {101, 57, 33, 20}, 2.4,
         {{"XBINNING", "2"}, {"YBINNING", "2"}, {"XORGSUBF", "101"}, {"YORGSUBF", "57"},
          {"BAYERPAT", "BGGR"}, {"XPIXSZ", "4.800000"}, {"PIXSIZE2", "2.400000"}}},
        {1, {0, 0, 512, 384}, 0, {{"XBINNING", "4"}, {"BAYERPAT", "RGGB"}}},
        {0, {2, 3, 9, 10}, 0,
         {{"XBINNING", "4"}, {"BINMODE", "0"}, {"BAYERPAT", ""}, {"XBAYROFF", ""}}},
        {3, {77, 41, 31, 29}, 0, {{"XBINNING", "2"}, {"YORGSUBF", "41"}, {"BAYERPAT", ""}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " at " + std::to_string(c.subframe.x) +
                     "," + std::to_string(c.subframe.y));
        const auto values = valuesOf(frameKeywords(frameOf(c.mode, c.subframe, c.pixelSize)));
        EXPECT_EQ(values.at("EXPTIME"), "2.500000");
        EXPECT_EQ(values.at("DATE-OBS"), "2026-12-09T01:02:03.042");
        EXPECT_EQ(values.at("IMAGETYP"), "Light Frame");
        EXPECT_EQ(values.count("OBJECT"), 0u) << "no OBJECT without one";
        for (const auto &[name, value] : c.expected) {
            if (value.empty()) {
                EXPECT_EQ(values.count(name), 0u) << name;
            } else {
                ASSERT_EQ(values.count(name), 1u) << name;
                EXPECT_EQ(values.at(name), value) << name;
            }
        }
    }
}

TEST(FitsKeywords, FrameTypesAsProcessingProgramsSortThem) {
    EXPECT_STREQ(imageTypeText(FrameType::Light), "Light Frame");
    EXPECT_STREQ(imageTypeText(FrameType::Dark), "Dark Frame");
    EXPECT_STREQ(imageTypeText(FrameType::Flat), "Flat Field");
    EXPECT_STREQ(imageTypeText(FrameType::Bias), "Bias Frame");
}

TEST(FitsKeywords, WrittenKeywordsReadBackThroughCfitsio) {
    FrameDescription frame = frameOf(2, {101, 57, 33, 20}, 2.4);
    frame.object = "M 31";
    frame.imageType = "Dark Frame";
    const std::vector<FitsKeyword> keywords = frameKeywords(frame);

    size_t size = 2880;
    void *buffer = std::calloc(1, size);
    fitsfile *file = nullptr;
    int status = 0;
    fits_create_memfile(&file, &buffer, &size, 2880, std::realloc, &status);
    long axes[2] = {33, 20};
    fits_create_img(file, USHORT_IMG, 2, axes, &status);
    // A keyword already there is replaced, not repeated.
    fits_update_key_str(file, "BAYERPAT", "RGGB", "the base class's guess", &status);
    writeFitsKeywords(file, keywords, status);
    ASSERT_EQ(status, 0);

    const struct {
        const char *name;
        const char *card;  // the card's value as cfitsio reads it (text padded to 8)
    } cases[] = {
        {"EXPTIME", "2.500"},   {"DATE-OBS", "'2026-12-09T01:02:03.042'"},
        {"XORGSUBF", "101"},    {"YORGSUBF", "57"},
        {"BAYERPAT", "'BGGR    '"}, {"PIXSIZE1", "2.4"},
        {"XPIXSZ", "4.8"},      {"OBJECT", "'M 31    '"},
        {"IMAGETYP", "'Dark Frame'"}, {"SWCREATE", "'qm-capture'"},
    };
    for (const auto &c : cases) {
        char value[FLEN_VALUE] = {};
        int readStatus = 0;
        fits_read_keyword(file, c.name, value, nullptr, &readStatus);
        EXPECT_EQ(readStatus, 0) << c.name;
        EXPECT_STREQ(value, c.card) << c.name;
    }
    int count = 0, more = 0;
    fits_get_hdrspace(file, &count, &more, &status);
    int bayer = 0;
    for (int i = 1; i <= count; ++i) {
        char card[FLEN_CARD] = {};
        fits_read_record(file, i, card, &status);
        bayer += std::string(card).rfind("BAYERPAT", 0) == 0;
    }
    EXPECT_EQ(bayer, 1);
    int closeStatus = 0;
    fits_close_file(file, &closeStatus);
    std::free(buffer);
}
