#include "tools/capture/png_preview.h"

#include <png.h>

#include <algorithm>
#include <cmath>

#include "host/bayer_pattern.h"

namespace {

constexpr double kBackgroundPercentile = 0.25;
constexpr double kWhitePercentile = 0.9995;
constexpr double kStretch = 12.0;  // asinh softening: larger lifts faint detail more
constexpr size_t kMaxSamples = 1 << 20;

constexpr char kChannelColours[3] = {'R', 'G', 'B'};

// Percentile of every channel-th value starting at `channel`, on a subsample.
float percentile(const std::vector<float> &values, int channels, int channel, double fraction) {
    const size_t count = values.size() / static_cast<size_t>(channels);
    const size_t step = std::max<size_t>(1, count / kMaxSamples);
    std::vector<float> samples;
    samples.reserve(count / step + 1);
    for (size_t i = 0; i < count; i += step) {
        samples.push_back(values[i * static_cast<size_t>(channels) + static_cast<size_t>(channel)]);
    }
    if (samples.empty()) {
        return 0.0f;
    }
    const auto k = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(k), samples.end());
    return samples[k];
}

PreviewImage stretch(const std::vector<float> &values, int32_t width, int32_t height,
                     int channels) {
    float black[3] = {0, 0, 0};
    float white = 0;
    for (int ch = 0; ch < channels; ++ch) {
        black[ch] = percentile(values, channels, ch, kBackgroundPercentile);
        white = std::max(white, percentile(values, channels, ch, kWhitePercentile) - black[ch]);
    }
    const double range = std::max(white, 1.0f);
    const double norm = std::asinh(kStretch);
    PreviewImage image{width, height, channels, std::vector<uint8_t>(values.size())};
    for (size_t i = 0; i < values.size(); ++i) {
        const double x =
            std::clamp((values[i] - black[i % static_cast<size_t>(channels)]) / range, 0.0, 1.0);
        image.pixels[i] =
            static_cast<uint8_t>(std::lround(255.0 * std::asinh(kStretch * x) / norm));
    }
    return image;
}

}  // namespace

std::vector<float> debayerBilinear(const std::vector<uint16_t> &mosaic, int32_t width,
                                   int32_t height, const std::string &bayerPattern) {
    std::vector<float> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    for (int32_t r = 0; r < height; ++r) {
        for (int32_t c = 0; c < width; ++c) {
            const char own = colourAt(bayerPattern, r, c);
            float *out = &rgb[(static_cast<size_t>(r) * width + c) * 3];
            for (int ch = 0; ch < 3; ++ch) {
                if (own == kChannelColours[ch]) {
                    out[ch] = mosaic[static_cast<size_t>(r) * width + c];
                    continue;
                }
                float sum = 0;
                int count = 0;
                for (int32_t dr = -1; dr <= 1; ++dr) {
                    for (int32_t dc = -1; dc <= 1; ++dc) {
                        const int32_t rr = r + dr;
                        const int32_t cc = c + dc;
                        if (rr >= 0 && rr < height && cc >= 0 && cc < width &&
                            colourAt(bayerPattern, rr, cc) == kChannelColours[ch]) {
                            sum += mosaic[static_cast<size_t>(rr) * width + cc];
                            ++count;
                        }
                    }
                }
                out[ch] = count > 0 ? sum / static_cast<float>(count) : 0.0f;
            }
        }
    }
    return rgb;
}

PreviewImage makePreview(const std::vector<uint16_t> &pixels, int32_t width, int32_t height,
                         const std::string &bayerPattern) {
    if (bayerPattern.empty()) {
        return stretch(std::vector<float>(pixels.begin(), pixels.end()), width, height, 1);
    }
    return stretch(debayerBilinear(pixels, width, height, bayerPattern), width, height, 3);
}

bool encodePng(const PreviewImage &image, std::vector<uint8_t> &file, std::string &error) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = image.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.pixels.data(), 0, nullptr)) {
        error = std::string("cannot make the PNG preview: ") + png.message;
        return false;
    }
    file.resize(size);
    if (!png_image_write_to_memory(&png, file.data(), &size, 0, image.pixels.data(), 0, nullptr)) {
        error = std::string("cannot make the PNG preview: ") + png.message;
        png_image_free(&png);
        return false;
    }
    file.resize(size);
    return true;
}
