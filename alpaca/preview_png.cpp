#include "alpaca/preview_png.h"

#include <algorithm>
#include <mutex>

#include "imaging/png_preview.h"

namespace alpaca {

namespace {

constexpr int32_t kMaxPreviewWidth = 640;

// Box-filter shrink by a whole factor, every channel alike.
PreviewImage shrink(const PreviewImage &image, int32_t factor) {
    if (factor <= 1) {
        return image;
    }
    PreviewImage small{.width = image.width / factor,
                       .height = image.height / factor,
                       .channels = image.channels,
                       .pixels = {}};
    small.pixels.resize(static_cast<size_t>(small.width) * small.height * small.channels);
    const uint32_t area = static_cast<uint32_t>(factor * factor);
    for (int32_t y = 0; y < small.height; ++y) {
        for (int32_t x = 0; x < small.width; ++x) {
            for (int ch = 0; ch < image.channels; ++ch) {
                uint32_t sum = 0;
                for (int32_t dy = 0; dy < factor; ++dy) {
                    const size_t row = static_cast<size_t>(y * factor + dy) * image.width;
                    for (int32_t dx = 0; dx < factor; ++dx) {
                        sum += image.pixels[(row + x * factor + dx) * image.channels + ch];
                    }
                }
                small.pixels[(static_cast<size_t>(y) * small.width + x) * small.channels + ch] =
                    static_cast<uint8_t>((sum + area / 2) / area);
            }
        }
    }
    return small;
}

}  // namespace

bool previewPngOf(const DeviceStatus &status, std::string &png) {
    static std::mutex mutex;
    static std::weak_ptr<const ColumnImage> cachedImage;
    static std::string cachedPng;
    if (!status.image) {
        return false;
    }
    {
        std::lock_guard lock(mutex);
        if (cachedImage.lock() == status.image) {
            png = cachedPng;
            return true;
        }
    }
    const ColumnImage &image = *status.image;
    std::vector<uint16_t> rows(image.samples.size());
    for (int32_t x = 0; x < image.numX; ++x) {
        for (int32_t y = 0; y < image.numY; ++y) {
            rows[static_cast<size_t>(y) * image.numX + x] = image.at(x, y);
        }
    }
    const PreviewImage preview = makePreview(rows, image.numX, image.numY, status.imagePattern);
    const int32_t factor =
        std::max<int32_t>(1, (image.numX + kMaxPreviewWidth - 1) / kMaxPreviewWidth);
    std::vector<uint8_t> file;
    std::string error;
    if (!encodePng(shrink(preview, factor), file, error)) {
        return false;
    }
    png.assign(file.begin(), file.end());
    std::lock_guard lock(mutex);
    cachedImage = status.image;
    cachedPng = png;
    return true;
}

}  // namespace alpaca
