// The FITS file the tool writes, read back with cfitsio.
#include "tools/capture/fits_writer.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/capture/fits_reader.h"
#include "tests/capture/temp_dir.h"
#include "tools/capture/safe_file.h"

namespace {

FrameDescription describedFrame(int32_t width, int32_t height, const std::string &pattern) {
    FrameDescription f;
    f.width = width;
    f.height = height;
    f.exposureSeconds = 1.5;
    f.dateObs = "2026-12-07T23:20:13.123";
    f.date = "2026-12-07T23:20:14.900";
    f.instrument = "Vantrel CCD";
    f.driverName = "QM-208X VESK driver v1.00";
    f.modeName = "2x2 SW cl/bw";
    f.mode = 2;
    f.binning = 2;
    f.originX = 10;
    f.originY = 20;
    f.bayerPattern = pattern;
    return f;
}

FitsContents writeAndRead(const TempDir &dir, const FrameDescription &frame,
                          const std::vector<uint16_t> &pixels) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(encodeFits(frame, pixels, bytes, error)) << error;
    EXPECT_EQ(bytes.size() % 2880, 0u);
    EXPECT_TRUE(writeFileAtomically(dir / "frame.fits", bytes, true, error)) << error;
    return readFits(dir / "frame.fits");
}

}  // namespace

TEST(FitsWriter, KeywordsAndUnsignedPixelsRoundTrip) {
    TempDir dir;
    const int32_t width = 5, height = 3;
    // Extremes of the unsigned range and values either side of BZERO.
    const std::vector<uint16_t> pixels = {0, 1, 32767, 32768, 65535, 65534, 2, 3,
                                          4, 5, 1000,  40000, 12345, 54321, 7};
    const FitsContents c = writeAndRead(dir, describedFrame(width, height, "GBRG"), pixels);
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.bitpix, 16);
    EXPECT_EQ(c.integer("BZERO"), 32768);
    EXPECT_EQ(c.width, width);
    EXPECT_EQ(c.height, height);
    EXPECT_EQ(c.pixels, pixels) << "pixels or their order changed";
    EXPECT_DOUBLE_EQ(c.real("EXPTIME"), 1.5);
    EXPECT_EQ(c.text("DATE-OBS"), "2026-12-07T23:20:13.123");
    EXPECT_EQ(c.text("DATE"), "2026-12-07T23:20:14.900");
    EXPECT_EQ(c.text("INSTRUME"), "Vantrel CCD");
    EXPECT_EQ(c.integer("XBINNING"), 2);
    EXPECT_EQ(c.integer("YBINNING"), 2);
    EXPECT_EQ(c.integer("XORGSUBF"), 10);
    EXPECT_EQ(c.integer("YORGSUBF"), 20);
    EXPECT_EQ(c.text("ROWORDER"), "TOP-DOWN");
    EXPECT_EQ(c.text("BAYERPAT"), "GBRG");
    EXPECT_EQ(c.text("READOUTM"), "2x2 SW cl/bw");
    EXPECT_FALSE(c.has("OBJECT"));
    EXPECT_TRUE(c.has("CHECKSUM"));
    EXPECT_TRUE(c.has("DATASUM"));
    EXPECT_EQ(c.dataChecksum, 1);
    EXPECT_EQ(c.headerChecksum, 1);
}

TEST(FitsWriter, MixedColourModesHaveNoBayerPattern) {
    TempDir dir;
    FrameDescription frame = describedFrame(4, 4, "");
    frame.object = "M 31";
    const FitsContents c = writeAndRead(dir, frame, std::vector<uint16_t>(16, 500));
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_FALSE(c.has("BAYERPAT"));
    EXPECT_EQ(c.text("OBJECT"), "M 31");
}

TEST(FitsWriter, FrameTypeAndPixelSizeKeywordsTable) {
    const struct {
        const char *imageType;
        double pixelSize;
        int32_t binning;
        const char *binned;  // XPIXSZ as written; nullptr: no pixel-size keywords
    } cases[] = {
        {"Light Frame", 0, 1, nullptr},    {"Dark Frame", 3.75, 1, "3.75"},
        {"Flat Field", 3.75, 2, "7.5"},    {"Bias Frame", 2.4, 4, "9.6"},
        {"Light Frame", 5.86, 4, "23.44"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        FrameDescription frame = describedFrame(2, 2, "");
        frame.imageType = c.imageType;
        frame.pixelSizeMicrons = c.pixelSize;
        frame.binning = c.binning;
        const FitsContents f = writeAndRead(dir, frame, std::vector<uint16_t>(4, 100));
        ASSERT_TRUE(f.ok) << f.error;
        EXPECT_EQ(f.text("IMAGETYP"), c.imageType);
        EXPECT_EQ(f.integer("XBINNING"), c.binning);
        if (c.binned == nullptr) {
            for (const char *key : {"PIXSIZE1", "PIXSIZE2", "XPIXSZ", "YPIXSZ"}) {
                EXPECT_FALSE(f.has(key)) << key << " without a pixel size";
            }
            continue;
        }
        EXPECT_DOUBLE_EQ(f.real("PIXSIZE1"), c.pixelSize);
        EXPECT_DOUBLE_EQ(f.real("PIXSIZE2"), c.pixelSize);
        EXPECT_EQ(f.text("XPIXSZ"), c.binned) << "written with its trailing zeros dropped";
        EXPECT_EQ(f.text("YPIXSZ"), c.binned);
        EXPECT_EQ(f.dataChecksum, 1);
        EXPECT_EQ(f.headerChecksum, 1);
    }
}

TEST(FitsWriter, ChecksumCatchesAChangedByte) {
    TempDir dir;
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(
        encodeFits(describedFrame(4, 2, "RGGB"), std::vector<uint16_t>(8, 1234), bytes, error));
    bytes[2880 + 3] ^= 0x01;  // first data record
    ASSERT_TRUE(writeFileAtomically(dir / "bad.fits", bytes, true, error)) << error;
    const FitsContents c = readFits(dir / "bad.fits");
    EXPECT_EQ(c.dataChecksum, -1);
}

TEST(FitsWriter, RefusesPixelsThatDoNotMatchTheSize) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(encodeFits(describedFrame(4, 4, ""), std::vector<uint16_t>(15), bytes, error));
    EXPECT_FALSE(encodeFits(describedFrame(0, 4, ""), {}, bytes, error));
    EXPECT_TRUE(bytes.empty());
}
