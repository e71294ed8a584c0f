// PNG previews made and saved beside the frames on a thread of their own, so
// that the next exposure starts while the last frame's preview is made.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "tools/capture/frame_files.h"

struct PreviewReports {
    std::function<void(const std::string &previewPath)> saved;
    std::function<void(const std::string &warning)> failed;
};

class PreviewWriter {
public:
    // Both reports are called on the preview thread.
    PreviewWriter(const FrameFiles &files, PreviewReports reports);
    ~PreviewWriter();
    PreviewWriter(const PreviewWriter &) = delete;
    PreviewWriter &operator=(const PreviewWriter &) = delete;

    // Starts the preview of the frame saved as `fitsPath`, after waiting for
    // the previous one: one frame at a time is held.
    void submit(std::vector<uint16_t> image, int32_t width, int32_t height,
                const std::string &bayerPattern, const std::string &fitsPath);

    // Waits until the last preview is saved or has failed.
    void finish();

private:
    void make(const std::vector<uint16_t> &image, int32_t width, int32_t height,
              const std::string &bayerPattern, const std::string &fitsPath) const;

    const FrameFiles &files_;
    PreviewReports reports_;
    std::future<void> pending_;
};
