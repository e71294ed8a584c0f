// The FITS file the tool writes, read back with cfitsio.
#include "tools/capture/fits_writer.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/capture/fits_reader.h"
#include "tests/capture/temp_dir.h"
#include "tools/capture/safe_file.h"

namespace {

// 2026-12-07 23:20:13.123 UTC and 1.777 s later.
const std::chrono::system_clock::time_point kStarted{std::chrono::milliseconds(1796685613123LL)};
const std::chrono::system_clock::time_point kWritten = kStarted + std::chrono::milliseconds(1777);

FrameDescription describedFrame(uint32_t mode, Subframe subframe) {
    return {.plan = planFrame(subframe, mode),
            .modeName = "mode " + std::to_string(mode),
            .exposureSeconds = 1.5,
            .startUtc = kStarted,
            .imageType = "Light Frame",
            .pixelSizeMicrons = 0,
            .instrument = "QM-208X VESK",
            .driverName = "QM-208X VESK driver v1.00",
            .program = "qm-capture",
            .object = {}};
}

FitsContents writeAndRead(const TempDir &dir, const FrameDescription &frame,
                          const std::vector<uint16_t> &pixels) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(encodeFits(frame, kWritten, pixels, bytes, error)) << error;
    EXPECT_EQ(bytes.size() % 2880, 0u);
    EXPECT_TRUE(writeFileAtomically(dir / "frame.fits", bytes, true, error)) << error;
    return readFits(dir / "frame.fits");
}

}  // namespace

// The library's keywords (imaging/fits_keywords.h) reach the file, with the
// file's own DATE and checksums and the pixels unchanged.
TEST(FitsWriter, KeywordsAndUnsignedPixelsRoundTrip) {
    TempDir dir;
    const int32_t width = 5, height = 3;
    // Extremes of the unsigned range and values either side of BZERO.
    const std::vector<uint16_t> pixels = {0, 1, 32767, 32768, 65535, 65534, 2, 3,
                                          4, 5, 1000,  40000, 12345, 54321, 7};
    const FrameDescription frame = describedFrame(2, {11, 20, width, height});
    const FitsContents c = writeAndRead(dir, frame, pixels);
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.bitpix, 16);
    EXPECT_EQ(c.integer("BZERO"), 32768);
    EXPECT_EQ(c.width, width);
    EXPECT_EQ(c.height, height);
    EXPECT_EQ(c.pixels, pixels) << "pixels or their order changed";
    for (const FitsKeyword &k : frameKeywords(frame)) {
        EXPECT_TRUE(c.has(k.name)) << k.name;
    }
    EXPECT_DOUBLE_EQ(c.real("EXPTIME"), 1.5);
    EXPECT_EQ(c.text("DATE-OBS"), "2026-12-07T23:20:13.123");
    EXPECT_EQ(c.text("DATE"), "2026-12-07T23:20:14.900");
    EXPECT_EQ(c.text("INSTRUME"), "QM-208X VESK");
    EXPECT_EQ(c.integer("XORGSUBF"), 11);
    EXPECT_EQ(c.integer("YORGSUBF"), 20);
    EXPECT_EQ(c.text("BAYERPAT"), subframeColours(frame.plan).pattern);
    EXPECT_EQ(c.text("SWCREATE"), "qm-capture");
    EXPECT_TRUE(c.has("CHECKSUM"));
    EXPECT_TRUE(c.has("DATASUM"));
    EXPECT_EQ(c.dataChecksum, 1);
    EXPECT_EQ(c.headerChecksum, 1);
}

TEST(FitsWriter, ChecksumCatchesAChangedByte) {
    TempDir dir;
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(encodeFits(describedFrame(4, {0, 0, 4, 2}), kWritten,
                           std::vector<uint16_t>(8, 1234), bytes, error));
    bytes[2880 + 3] ^= 0x01;  // first data record
    ASSERT_TRUE(writeFileAtomically(dir / "bad.fits", bytes, true, error)) << error;
    const FitsContents c = readFits(dir / "bad.fits");
    EXPECT_EQ(c.dataChecksum, -1);
}

TEST(FitsWriter, RefusesPixelsThatDoNotMatchTheSize) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(encodeFits(describedFrame(4, {0, 0, 4, 4}), kWritten, std::vector<uint16_t>(15),
                            bytes, error));
    FrameDescription empty = describedFrame(4, {0, 0, 4, 4});
    empty.plan.subframe.width = 0;
    EXPECT_FALSE(encodeFits(empty, kWritten, {}, bytes, error));
    EXPECT_TRUE(bytes.empty());
}
