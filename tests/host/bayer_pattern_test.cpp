// BAYERPAT of the saved image from the mode and the window.
#include "host/bayer_pattern.h"

#include <gtest/gtest.h>

TEST(BayerPattern, TableOverModesAndWindowParities) {
    const struct {
        uint32_t mode;
        PixelWindow window;
        const char *pattern;  // "" for none
    } cases[] = {
        // Mode 4: host row 0 is raw row y + height, column x.
        {4, {0, 0, 2048, 1536}, "RGGB"},  // raw row 1536 (even), column 0
        {4, {0, 0, 2048, 1535}, "GBRG"},  // raw row 1535 (odd)
        {4, {1, 0, 2047, 1536}, "GRBG"},  // column 1
        {4, {1, 0, 2047, 1535}, "BGGR"},
        {4, {10, 20, 3, 2}, "RGGB"},  // raw row 22, column 10
        {4, {11, 20, 3, 3}, "BGGR"},  // raw row 23, column 11
        {4, {0, 1, 4, 4}, "GBRG"},    // raw row 5
        {4, {0, 2, 4, 4}, "RGGB"},    // raw row 6
        // One-pixel moves of d_MoveFrame, including below the origin.
        {4, {-1, 0, 4, 4}, "GRBG"},
        {4, {0, -1, 4, 4}, "GBRG"},
        {4, {-1, -1, 4, 4}, "BGGR"},
        // Modes 2 and 1 sum even raw rows and even columns into every cell's first
        // sample, wherever the window lies.
        {2, {0, 0, 1024, 768}, "RGGB"},
        {2, {1, 0, 8, 8}, "RGGB"},
        {2, {0, 1, 8, 8}, "RGGB"},
        {2, {1, 1, 8, 8}, "RGGB"},
        {2, {-1, -1, 8, 8}, "RGGB"},
        {1, {0, 0, 512, 384}, "RGGB"},
        {1, {1, 3, 4, 4}, "RGGB"},
        {1, {3, 1, 4, 4}, "RGGB"},
        // Modes 0 and 3 read frames whose rows the camera summed in pairs.
        {0, {0, 0, 512, 384}, ""},
        {0, {1, 1, 4, 4}, ""},
        {3, {0, 0, 1024, 768}, ""},
        {3, {1, 1, 2, 2}, ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(bayerPatternFor(kCameraModes[c.mode], c.window), c.pattern)
            << "mode " << c.mode << " window " << c.window.x << "," << c.window.y << " "
            << c.window.width << "x" << c.window.height;
    }
}

TEST(BayerPattern, ColourAtRepeatsThePattern) {
    const struct {
        const char *pattern;
        int64_t row, column;
        char colour;
    } cases[] = {
        {"RGGB", 0, 0, 'R'}, {"RGGB", 0, 1, 'G'}, {"RGGB", 1, 0, 'G'},   {"RGGB", 1, 1, 'B'},
        {"RGGB", 2, 2, 'R'}, {"RGGB", 3, 5, 'B'}, {"GBRG", 0, 1, 'B'},   {"GBRG", 1, 0, 'R'},
        {"BGGR", 4, 4, 'B'}, {"GRBG", 7, 0, 'B'}, {"GRBG", -1, -1, 'G'},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(colourAt(c.pattern, c.row, c.column), c.colour)
            << c.pattern << " at " << c.row << "," << c.column;
    }
}
