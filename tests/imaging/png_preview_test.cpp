// The PNG preview: debayer colours land in the right channels, the stretch
// spans the 8-bit range, and the file decodes.
#include "imaging/literal_deflater.h"
#include "imaging/png_preview.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <random>

#include "host/bayer_pattern.h"

namespace {

// A mosaic of a uniform scene with the given red, green and blue levels, laid
// out by `pattern`.
std::vector<uint16_t> uniformMosaic(int32_t width, int32_t height, const std::string &pattern,
                                    uint16_t red, uint16_t green, uint16_t blue) {
    std::vector<uint16_t> m(static_cast<size_t>(width) * height);
    for (int32_t r = 0; r < height; ++r) {
        for (int32_t c = 0; c < width; ++c) {
            const char colour = colourAt(pattern, r, c);
            m[static_cast<size_t>(r) * width + c] =
                colour == 'R' ? red : (colour == 'G' ? green : blue);
        }
    }
    return m;
}

// The bilinear rule written out pixel by pixel: each missing colour is the
// rounded mean of the samples of that colour in the 3x3 block inside the image.
std::vector<uint16_t> referenceDebayer(const std::vector<uint16_t> &mosaic, int32_t width,
                                       int32_t height, const std::string &pattern) {
    std::vector<uint16_t> rgb(mosaic.size() * 3);
    const char colours[3] = {'R', 'G', 'B'};
    for (int32_t r = 0; r < height; ++r) {
        for (int32_t c = 0; c < width; ++c) {
            for (int ch = 0; ch < 3; ++ch) {
                uint32_t sum = 0, count = 0;
                for (int32_t rr = r - 1; rr <= r + 1; ++rr) {
                    for (int32_t cc = c - 1; cc <= c + 1; ++cc) {
                        const bool inside = rr >= 0 && rr < height && cc >= 0 && cc < width;
                        if (inside && colourAt(pattern, rr, cc) == colours[ch] &&
                            (colourAt(pattern, r, c) != colours[ch] || (rr == r && cc == c))) {
                            sum += mosaic[static_cast<size_t>(rr) * width + cc];
                            ++count;
                        }
                    }
                }
                rgb[(static_cast<size_t>(r) * width + c) * 3 + ch] =
                    count == 0 ? 0 : static_cast<uint16_t>((sum + count / 2) / count);
            }
        }
    }
    return rgb;
}

}  // namespace

TEST(PngPreview, DebayerEqualsThePixelByPixelRuleTable) {
    const struct {
        int32_t width, height;
    } sizes[] = {{1, 1}, {2, 2}, {3, 1}, {1, 3}, {3, 3}, {4, 5}, {17, 9}, {64, 33}, {101, 2}};
    std::mt19937 random(12);
    for (const auto &size : sizes) {
        std::vector<uint16_t> mosaic(static_cast<size_t>(size.width) * size.height);
        for (uint16_t &v : mosaic) {
            // Full range, extremes included, so sums that overflow 16 bits show.
            v = static_cast<uint16_t>(random() % 4 == 0 ? 65535 : random());
        }
        for (const char *pattern : {"RGGB", "GRBG", "GBRG", "BGGR"}) {
            EXPECT_EQ(debayerBilinear(mosaic, size.width, size.height, pattern),
                      referenceDebayer(mosaic, size.width, size.height, pattern))
                << pattern << " " << size.width << "x" << size.height;
        }
    }
}

TEST(PngPreview, DebayerPutsEachColourInItsChannelForEveryPattern) {
    const int32_t width = 8, height = 6;
    for (const char *pattern : {"RGGB", "GRBG", "GBRG", "BGGR"}) {
        const auto mosaic = uniformMosaic(width, height, pattern, 3000, 2000, 1000);
        const std::vector<uint16_t> rgb = debayerBilinear(mosaic, width, height, pattern);
        ASSERT_EQ(rgb.size(), static_cast<size_t>(width * height * 3));
        for (size_t i = 0; i < rgb.size(); i += 3) {
            ASSERT_FLOAT_EQ(rgb[i], 3000) << pattern << " pixel " << i / 3;
            ASSERT_FLOAT_EQ(rgb[i + 1], 2000) << pattern << " pixel " << i / 3;
            ASSERT_FLOAT_EQ(rgb[i + 2], 1000) << pattern << " pixel " << i / 3;
        }
    }
}

TEST(PngPreview, DebayerInterpolatesFromNeighboursOnly) {
    // A red site with value 4000 amid zeros: its red reaches its 8 neighbours
    // (shared among the red sites around them), green and blue stay 0.
    const int32_t width = 6, height = 6;
    std::vector<uint16_t> mosaic(width * height, 0);
    mosaic[2 * width + 2] = 4000;  // (2, 2) is red in RGGB
    const std::vector<uint16_t> rgb = debayerBilinear(mosaic, width, height, "RGGB");
    const auto red = [&](int r, int c) { return rgb[(r * width + c) * 3]; };
    EXPECT_FLOAT_EQ(red(2, 2), 4000);
    EXPECT_FLOAT_EQ(red(2, 3), 2000);  // green site between two red sites
    EXPECT_FLOAT_EQ(red(3, 3), 1000);  // blue site among four red sites
    EXPECT_FLOAT_EQ(red(4, 4), 0);     // red site: keeps its own value
    for (size_t i = 0; i < rgb.size(); i += 3) {
        EXPECT_FLOAT_EQ(rgb[i + 1], 0) << "green at " << i / 3;
        EXPECT_FLOAT_EQ(rgb[i + 2], 0) << "blue at " << i / 3;
    }
}

TEST(PngPreview, StretchSpansTheRangeAndKeepsOrder) {
    const int32_t width = 64, height = 64;
    std::vector<uint16_t> grey(width * height, 1000);
    for (int i = 0; i < 16; ++i) {
        grey[static_cast<size_t>(i) * 97 % grey.size()] = static_cast<uint16_t>(2000 + 3000 * i);
    }
    const PreviewImage image = makePreview(grey, width, height, "");
    EXPECT_EQ(image.channels, 1);
    ASSERT_EQ(image.pixels.size(), grey.size());
    uint8_t lowest = 255, highest = 0;
    for (size_t i = 0; i < grey.size(); ++i) {
        lowest = std::min(lowest, image.pixels[i]);
        highest = std::max(highest, image.pixels[i]);
        for (size_t j = 0; j < grey.size(); j += 13) {
            if (grey[i] < grey[j]) {
                ASSERT_LE(image.pixels[i], image.pixels[j]) << i << " vs " << j;
            }
        }
    }
    EXPECT_EQ(lowest, 0) << "background is not black";
    EXPECT_EQ(highest, 255) << "brightest is not white";
}

TEST(PngPreview, EncodesADecodablePng) {
    const int32_t width = 10, height = 4;
    const auto mosaic = uniformMosaic(width, height, "RGGB", 100, 100, 100);
    std::vector<uint16_t> scene = mosaic;
    scene[0] = 60000;  // one bright red site: the preview's top left is reddish
    const PreviewImage preview = makePreview(scene, width, height, "RGGB");
    ASSERT_EQ(preview.channels, 3);
    std::vector<uint8_t> file;
    std::string error;
    ASSERT_TRUE(encodePng(preview, file, error)) << error;

    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&decoded, file.data(), file.size()))
        << decoded.message;
    EXPECT_EQ(decoded.width, static_cast<png_uint_32>(width));
    EXPECT_EQ(decoded.height, static_cast<png_uint_32>(height));
    decoded.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(decoded));
    ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, pixels.data(), 0, nullptr))
        << decoded.message;
    EXPECT_EQ(pixels, preview.pixels);
    EXPECT_GT(pixels[0], pixels[1]) << "red above green at the bright red site";
    EXPECT_GT(pixels[0], pixels[2]) << "red above blue at the bright red site";
}

TEST(PngEncoder, EveryShapeDecodesToTheSamePixelsAndBadImagesAreRefused) {
    // Noise; one value (a code of two symbols); values whose counts grow as
    // Fibonacci numbers, so that a plain Huffman code would be deeper than
    // deflate's 15 bits; images of several blocks.
    enum class Content { Noise, Flat, Skewed };
    const struct {
        int32_t width, height;
        int channels;
        size_t pixelCount;  // bytes given; the right count unless testing a refusal
        bool accepted;
        Content content = Content::Noise;
    } cases[] = {
        {1, 1, 1, 1, true},         {1, 1, 3, 3, true},          {7, 3, 1, 21, true},
        {5, 9, 3, 135, true},       {640, 480, 3, 921600, true}, {2048, 2, 1, 4096, true},
        {0, 4, 1, 0, false},        {4, 0, 3, 0, false},         {4, 4, 2, 32, false},
        {4, 4, 3, 47, false},       {4, 4, 1, 17, false},        {-4, -4, 1, 16, false},
        {1, 1, 1, 1, true, Content::Flat},  {600, 500, 1, 300000, true, Content::Flat},
        {1, 10946, 1, 10946, true, Content::Skewed},
        {300, 1000, 3, 900000, true, Content::Skewed},
    };
    std::mt19937 random(7);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "x" +
                     std::to_string(c.channels) + " content " +
                     std::to_string(static_cast<int>(c.content)));
        PreviewImage image{c.width, c.height, c.channels, std::vector<uint8_t>(c.pixelCount)};
        if (c.content == Content::Noise) {
            for (uint8_t &p : image.pixels) {
                p = static_cast<uint8_t>(random());
            }
        } else if (c.content == Content::Flat) {
            std::fill(image.pixels.begin(), image.pixels.end(), uint8_t{200});
        } else {
            // Values in runs of Fibonacci lengths: down a column (one sample a
            // row, nothing to its left) their counts are Fibonacci numbers.
            size_t i = 0;
            for (uint32_t value = 0, a = 1, b = 1; i < image.pixels.size(); ++value) {
                for (uint32_t k = 0; k < a && i < image.pixels.size(); ++k) {
                    image.pixels[i++] = static_cast<uint8_t>(value * 11);
                }
                b += a;
                a = b - a;
            }
        }
        std::vector<uint8_t> file{1, 2, 3};
        std::string error;
        ASSERT_EQ(encodePng(image, file, error), c.accepted) << error;
        if (!c.accepted) {
            EXPECT_NE(error.find("does not match its pixels"), std::string::npos) << error;
            continue;
        }
        png_image decoded{};
        decoded.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&decoded, file.data(), file.size()))
            << decoded.message;
        ASSERT_EQ(decoded.width, static_cast<png_uint_32>(c.width));
        ASSERT_EQ(decoded.height, static_cast<png_uint_32>(c.height));
        decoded.format = c.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(decoded));
        ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, pixels.data(), 0, nullptr))
            << decoded.message;
        EXPECT_EQ(pixels, image.pixels);
    }
}

TEST(PngEncoder, HuffmanCodesAreCompleteAndNoLongerThanTheLimit) {
    std::vector<uint32_t> fibonacci(30);
    for (size_t i = 0; i < fibonacci.size(); ++i) {
        fibonacci[i] = i < 2 ? 1 : fibonacci[i - 1] + fibonacci[i - 2];
    }
    const struct {
        std::vector<uint32_t> counts;
        unsigned limit;
    } cases[] = {
        {fibonacci, 15},         {fibonacci, 7},     {{0, 0, 5, 0}, 15},
        {{0, 0, 0}, 7},          {{9, 9, 9, 9}, 15}, {{1, 1000000, 3, 0, 7}, 2},
    };
    for (const auto &c : cases) {
        const std::vector<uint8_t> lengths = huffmanCodeLengths(c.counts, c.limit);
        ASSERT_EQ(lengths.size(), c.counts.size());
        double kraft = 0;
        for (size_t s = 0; s < lengths.size(); ++s) {
            EXPECT_LE(lengths[s], c.limit);
            EXPECT_TRUE(c.counts[s] == 0 || lengths[s] != 0) << "symbol " << s << " has no code";
            kraft += lengths[s] == 0 ? 0 : std::ldexp(1.0, -lengths[s]);
        }
        EXPECT_EQ(kraft, 1.0) << "the code is not complete";
    }
}
