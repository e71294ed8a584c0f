#include "imaging/png_preview.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "host/bayer_pattern.h"

namespace {

constexpr double kBackgroundPercentile = 0.25;
constexpr double kWhitePercentile = 0.9995;
constexpr double kStretch = 12.0;  // asinh softening: larger lifts faint detail more
constexpr size_t kMaxSamples = 1 << 20;
constexpr size_t kLevels = 65536;

constexpr char kChannelColours[3] = {'R', 'G', 'B'};
constexpr int kGreen = 1;

int channelOf(char colour) { return colour == 'R' ? 0 : (colour == 'G' ? 1 : 2); }

// Mean of the neighbours of `channel` in the 3x3 block around (r, c) that lie
// inside the image: the general rule, used at the image's edges.
uint16_t neighbourMean(const uint16_t *mosaic, int32_t width, int32_t height,
                       const std::string &pattern, int32_t r, int32_t c, int channel) {
    uint32_t sum = 0;
    uint32_t count = 0;
    for (int32_t rr = std::max(r - 1, 0); rr <= std::min(r + 1, height - 1); ++rr) {
        for (int32_t cc = std::max(c - 1, 0); cc <= std::min(c + 1, width - 1); ++cc) {
            if (colourAt(pattern, rr, cc) == kChannelColours[channel]) {
                sum += mosaic[static_cast<size_t>(rr) * width + cc];
                ++count;
            }
        }
    }
    return count == 0 ? 0 : static_cast<uint16_t>((sum + count / 2) / count);
}

void debayerPixel(const uint16_t *mosaic, int32_t width, int32_t height, const std::string &pattern,
                  int32_t r, int32_t c, uint16_t *out) {
    const int own = channelOf(colourAt(pattern, r, c));
    for (int ch = 0; ch < 3; ++ch) {
        out[ch] = ch == own ? mosaic[static_cast<size_t>(r) * width + c]
                            : neighbourMean(mosaic, width, height, pattern, r, c, ch);
    }
}

// Columns 1 .. width - 2 of an inner row, where every 3x3 block is whole: a red
// or blue site takes green from its four side neighbours and the opposite
// colour from its four corners; a green site takes the colour of its row from
// left and right and the other one from above and below.
void debayerInnerRow(const uint16_t *above, const uint16_t *row, const uint16_t *below,
                     int32_t width, int evenColumnChannel, int oddColumnChannel, uint16_t *out) {
    const int rowColour = evenColumnChannel == kGreen ? oddColumnChannel : evenColumnChannel;
    const int otherColour = 2 - rowColour;  // red and blue are channels 0 and 2
    for (int32_t c = 1; c < width - 1; ++c) {
        const uint32_t sides = uint32_t{row[c - 1]} + row[c + 1];
        const uint32_t vertical = uint32_t{above[c]} + below[c];
        uint16_t *pixel = out + static_cast<size_t>(c) * 3;
        const int own = (c & 1) != 0 ? oddColumnChannel : evenColumnChannel;
        pixel[own] = row[c];
        if (own == kGreen) {
            pixel[rowColour] = static_cast<uint16_t>((sides + 1) >> 1);
            pixel[otherColour] = static_cast<uint16_t>((vertical + 1) >> 1);
        } else {
            const uint32_t corners =
                uint32_t{above[c - 1]} + above[c + 1] + below[c - 1] + below[c + 1];
            pixel[kGreen] = static_cast<uint16_t>((sides + vertical + 2) >> 2);
            pixel[2 - own] = static_cast<uint16_t>((corners + 2) >> 2);
        }
    }
}

// The value below which `fraction` of every step-th sample of one channel lies,
// from a histogram: exact, and linear in the number of samples.
uint16_t percentile(const std::vector<uint32_t> &histogram, size_t total, double fraction) {
    if (total == 0) {
        return 0;
    }
    const auto rank = static_cast<size_t>(fraction * static_cast<double>(total - 1));
    size_t below = 0;
    for (size_t level = 0; level < histogram.size(); ++level) {
        below += histogram[level];
        if (below > rank) {
            return static_cast<uint16_t>(level);
        }
    }
    return static_cast<uint16_t>(kLevels - 1);
}

struct ChannelLevels {
    uint16_t background = 0;
    uint16_t bright = 0;
};

ChannelLevels channelLevels(const std::vector<uint16_t> &values, int channels, int channel) {
    const size_t count = values.size() / static_cast<size_t>(channels);
    const size_t step = std::max<size_t>(1, count / kMaxSamples);
    std::vector<uint32_t> histogram(kLevels, 0);
    size_t total = 0;
    for (size_t i = 0; i < count; i += step) {
        ++histogram[values[i * static_cast<size_t>(channels) + static_cast<size_t>(channel)]];
        ++total;
    }
    return {percentile(histogram, total, kBackgroundPercentile),
            percentile(histogram, total, kWhitePercentile)};
}

// Every 16-bit value's 8-bit shade for one channel: the curve is computed once
// per level instead of once per sample.
std::vector<uint8_t> shadeTable(uint16_t black, double range) {
    std::vector<uint8_t> table(kLevels);
    const double norm = std::asinh(kStretch);
    for (size_t level = 0; level < kLevels; ++level) {
        const double x = std::clamp((static_cast<double>(level) - black) / range, 0.0, 1.0);
        table[level] = static_cast<uint8_t>(std::lround(255.0 * std::asinh(kStretch * x) / norm));
    }
    return table;
}

PreviewImage stretch(const std::vector<uint16_t> &values, int32_t width, int32_t height,
                     int channels) {
    std::array<ChannelLevels, 3> levels{};
    double white = 0;
    for (int ch = 0; ch < channels; ++ch) {
        levels[ch] = channelLevels(values, channels, ch);
        white = std::max(white, static_cast<double>(levels[ch].bright) - levels[ch].background);
    }
    const double range = std::max(white, 1.0);
    PreviewImage image{width, height, channels, std::vector<uint8_t>(values.size())};
    if (channels == 1) {
        const std::vector<uint8_t> shades = shadeTable(levels[0].background, range);
        std::transform(values.begin(), values.end(), image.pixels.begin(),
                       [&shades](uint16_t v) { return shades[v]; });
        return image;
    }
    std::array<std::vector<uint8_t>, 3> shades;
    for (int ch = 0; ch < 3; ++ch) {
        shades[ch] = shadeTable(levels[ch].background, range);
    }
    for (size_t i = 0; i + 2 < values.size(); i += 3) {
        image.pixels[i] = shades[0][values[i]];
        image.pixels[i + 1] = shades[1][values[i + 1]];
        image.pixels[i + 2] = shades[2][values[i + 2]];
    }
    return image;
}

}  // namespace

std::vector<uint16_t> debayerBilinear(const std::vector<uint16_t> &mosaic, int32_t width,
                                      int32_t height, const std::string &bayerPattern) {
    std::vector<uint16_t> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    const uint16_t *m = mosaic.data();
    for (int32_t r = 0; r < height; ++r) {
        uint16_t *out = &rgb[static_cast<size_t>(r) * width * 3];
        const bool innerRow = r > 0 && r < height - 1 && width > 2;
        if (!innerRow) {
            for (int32_t c = 0; c < width; ++c) {
                debayerPixel(m, width, height, bayerPattern, r, c,
                             out + static_cast<size_t>(c) * 3);
            }
            continue;
        }
        const uint16_t *row = m + static_cast<size_t>(r) * width;
        debayerInnerRow(row - width, row, row + width, width,
                        channelOf(colourAt(bayerPattern, r, 0)),
                        channelOf(colourAt(bayerPattern, r, 1)), out);
        debayerPixel(m, width, height, bayerPattern, r, 0, out);
        debayerPixel(m, width, height, bayerPattern, r, width - 1,
                     out + static_cast<size_t>(width - 1) * 3);
    }
    return rgb;
}

PreviewImage makePreview(const std::vector<uint16_t> &pixels, int32_t width, int32_t height,
                         const std::string &bayerPattern) {
    if (bayerPattern.empty()) {
        return stretch(pixels, width, height, 1);
    }
    return stretch(debayerBilinear(pixels, width, height, bayerPattern), width, height, 3);
}
