// Live video: exposures back to back through the worker, each frame handed
// to libindi's stream manager.
#include <cmath>

#include "indi/qm208x_ccd.h"

bool Qm208xCcd::StartStreaming() { return beginStream(); }

bool Qm208xCcd::StopStreaming() {
    if (stream_) {
        stream_.reset();
        // The frame being taken is finished out of sight and dropped.
        worker_->abort();
    }
    return true;
}

bool Qm208xCcd::beginStream() {
    if (!isConnected()) {
        LOG_ERROR("Live video needs the camera connected.");
        return false;
    }
    if (exposures_.running()) {
        LOG_ERROR("Live video cannot start during an exposure: abort it or wait for its image.");
        return false;
    }
    if (absence_.away()) {
        LOG_ERROR("Live video cannot start while the camera is away: it is being reopened.");
        return false;
    }
    stream_ = LiveStream{};
    restartStream();
    LOGF_INFO("Live video in mode %u, frame %s.", mode_, frameText(frame_).c_str());
    return true;
}

void Qm208xCcd::describeStream() {
    const FramePlan plan = framePlan();
    const Subframe &image = plan.subframe;
    // The pixel format is what the frame is: its own colour pattern in the
    // modes that keep the mosaic (it follows the frame's position in mode 4),
    // grey in the modes that mix colours. A recording's file takes both when
    // it opens, so they are kept current whether or not video runs.
    static const std::pair<const char *, INDI_PIXEL_FORMAT> kFormats[] = {
        {"RGGB", INDI_BAYER_RGGB},
        {"GRBG", INDI_BAYER_GRBG},
        {"GBRG", INDI_BAYER_GBRG},
        {"BGGR", INDI_BAYER_BGGR}};
    INDI_PIXEL_FORMAT format = INDI_MONO;
    const std::string pattern = subframeColours(plan).pattern;
    for (const auto &[name, bayer] : kFormats) {
        if (pattern == name) {
            format = bayer;
        }
    }
    Streamer->setPixelFormat(format, 16);
    // Only a new size is set: setting one resets CCD_STREAM_FRAME, a client's
    // crop of the stream, which must survive starting and stopping.
    if (image.width != describedWidth_ || image.height != describedHeight_) {
        describedWidth_ = image.width;
        describedHeight_ = image.height;
        Streamer->setSize(static_cast<uint16_t>(image.width), static_cast<uint16_t>(image.height));
    }
}

void Qm208xCcd::restartStream() {
    describeStream();
    if (!stream_) {
        return;
    }
    // Frames requested for the previous mode or frame are dropped.
    worker_->abort();
    // Every frame requested from here on has a later id.
    stream_->firstId = exposures_.takeId();
    stream_->plan = framePlan();
    stream_->inFlight = 0;
    requestStreamFrames();
}

void Qm208xCcd::requestStreamFrames() {
    // Two requests in the worker's queue: when one frame is read out the next
    // exposure starts at once, while this loop hands the frame on.
    constexpr int kFramesAhead = 2;
    while (stream_ && stream_->inFlight < kFramesAhead) {
        const double seconds = Streamer->getTargetExposure();
        const FramePlan &plan = stream_->plan;
        worker_->expose({.id = exposures_.takeId(),
                         .lengthMs = static_cast<int32_t>(std::llround(seconds * 1000)),
                         .mode = plan.mode,
                         .window = plan.window,
                         .geometry = plan.geometry});
        ++stream_->inFlight;
    }
}

void Qm208xCcd::onStreamFrame(std::vector<uint16_t> &image) {
    if (!cutToSubframe(image, stream_->plan)) {
        return;
    }
    Streamer->newFrame(reinterpret_cast<const uint8_t *>(image.data()),
                       static_cast<uint32_t>(image.size() * sizeof(uint16_t)));
}

void Qm208xCcd::endStream(const char *why) {
    if (!stream_ && !Streamer->isBusy()) {
        return;
    }
    LOGF_INFO("%s", why);  // a worker message, not a format
    if (Streamer->isRecording()) {
        // As a client's Record Off: the recorder closes its file at the next
        // frame it is given, which this stream no longer sends, so an empty
        // one follows at once.
        ISState off = ISS_ON;
        char name[] = "RECORD_OFF";
        char *names[] = {name};
        Streamer->ISNewSwitch(getDeviceName(), "RECORD_STREAM", &off, names, 1);
        Streamer->newFrame(nullptr, 0);
    }
    Streamer->setStream(false);
    StopStreaming();
}
