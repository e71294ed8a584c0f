#include "tools/capture/preview_writer.h"

#include <memory>
#include <new>
#include <system_error>

#include "imaging/png_preview.h"

PreviewWriter::PreviewWriter(const FrameFiles &files, PreviewReports reports)
    : files_(files), reports_(std::move(reports)) {}

PreviewWriter::~PreviewWriter() { finish(); }

void PreviewWriter::make(const std::vector<uint16_t> &image, int32_t width, int32_t height,
                         const std::string &bayerPattern, const std::string &fitsPath) const {
    std::string previewPath;
    std::string error;
    bool saved = false;
    try {
        std::vector<uint8_t> png;
        saved = encodePng(makePreview(image, width, height, bayerPattern), png, error) &&
                files_.savePreview(fitsPath, png, previewPath, error);
    } catch (const std::bad_alloc &) {
        error = "out of memory for the preview";
    }
    if (saved) {
        reports_.saved(previewPath);
    } else {
        reports_.failed(error + "; " + fitsPath + " is saved");
    }
}

void PreviewWriter::submit(std::vector<uint16_t> image, int32_t width, int32_t height,
                           const std::string &bayerPattern, const std::string &fitsPath) {
    finish();
    std::shared_ptr<const std::vector<uint16_t>> frame;
    try {
        frame = std::make_shared<const std::vector<uint16_t>>(std::move(image));
        pending_ = std::async(std::launch::async, [this, frame, width, height, bayerPattern,
                                                   fitsPath] {
            make(*frame, width, height, bayerPattern, fitsPath);
        });
    } catch (const std::system_error &) {
        // No thread to be had: the preview is made here instead.
        make(*frame, width, height, bayerPattern, fitsPath);
    } catch (const std::bad_alloc &) {
        reports_.failed("out of memory for the preview of " + fitsPath + ", which is saved");
    }
}

void PreviewWriter::finish() {
    if (pending_.valid()) {
        pending_.get();
    }
}
