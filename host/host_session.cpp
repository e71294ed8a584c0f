#include "host/host_session.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string sizeText(int32_t width, int32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

std::vector<std::string> driverModeNames(const DriverApi &api) {
    std::vector<std::string> names;
    const int32_t count = api.BinningCount();
    for (int32_t i = 0; i < count && i < 64; ++i) {
        const char *name = api.BinningName(static_cast<uint32_t>(i));
        names.push_back(name != nullptr ? name : "");
    }
    return names;
}

bool connectCamera(const DriverApi &api, bool showMessages, std::string &error) {
    if (api.Initialize(0) == 0) {
        error = "the driver could not obtain its frame buffer";
        return false;
    }
    api.SetupCCD(showMessages ? 0 : 1);
    if (api.GetOK() == 0) {
        error = "camera not found: the driver could not open the Vantrel camera";
        return false;
    }
    return true;
}

bool checkModeSizes(const DriverApi &api, std::string &error) {
    for (uint32_t mode = 0; mode < kCameraModes.size(); ++mode) {
        const ModeGeometry expected = geometryOf(kCameraModes[mode]);
        if (api.Subframe(0, 0, kHostWindowScale, kHostWindowScale, mode) == 0) {
            error = "the driver refused its own binning mode " + std::to_string(mode);
            return false;
        }
        const int32_t width = api.GetWidth(0);
        const int32_t height = api.GetHeight(0);
        if (width != expected.frameWidth || height != expected.frameHeight) {
            error = "the driver's mode " + std::to_string(mode) + " makes " +
                    sizeText(width, height) + " frames, not the " +
                    sizeText(expected.frameWidth, expected.frameHeight) + " of this camera";
            return false;
        }
    }
    return true;
}

bool selectWindow(const DriverApi &api, uint32_t mode, const PixelWindow &window,
                  const ModeGeometry &geometry, std::string &error) {
    const HostWindow host = hostUnitsFor(window, geometry);
    if (api.Subframe(host.x, host.y, host.width, host.height, mode) == 0) {
        error = "the driver refused binning mode " + std::to_string(mode);
        return false;
    }
    const int32_t width = api.GetWidth(0);
    const int32_t height = api.GetHeight(0);
    if (width != window.width || height != window.height) {
        error = "the driver made a " + sizeText(width, height) + " window instead of " +
                sizeText(window.width, window.height);
        return false;
    }
    return true;
}

void downloadImage(const DriverApi &api, std::vector<uint16_t> &image) {
    api.StartDownload();
    api.ReadImage(image.data());
    api.EndDownload(0);
}

namespace {

constexpr auto kProgressPeriod = std::chrono::milliseconds(200);

}  // namespace

bool exposeFrame(const DriverApi &api, int32_t exposureMs, int32_t timeoutMarginMs, uint32_t frame,
                 uint32_t count, const ExposureEnvironment &environment,
                 std::vector<uint16_t> &image, std::string &error) {
    const double exposureSeconds = exposureMs / 1000.0;
    const auto length = std::chrono::milliseconds(exposureMs);
    const auto limit = std::chrono::milliseconds(int64_t{exposureMs} + timeoutMarginMs);
    const std::string frameName = "frame " + std::to_string(frame);
    const auto interrupted = [&environment] {
        return environment.interrupted != nullptr && environment.interrupted->load();
    };
    if (interrupted()) {
        error = frameName + ": interrupted before the exposure";
        return false;
    }
    const auto start = environment.steadyNow();
    if (api.StartExposure(exposureMs, 0) == 0) {
        error = frameName + ": the driver refused to start the exposure";
        return false;
    }
    const auto secondsSince = [&start](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(t - start).count();
    };
    // The moment of the latest clock reading: a poll begins right after it.
    auto now = start;
    if (environment.delivery != nullptr) {
        // No module call until the frame is expected; the progress goes on.
        const auto firstCheck =
            start + environment.delivery->firstCheckAfter(environment.deliveryKey, length);
        for (now = environment.steadyNow(); now < firstCheck;) {
            environment.sleepUntil(std::min(firstCheck, now + kProgressPeriod));
            now = environment.steadyNow();
            if (environment.progress) {
                environment.progress(frame, count, secondsSince(now), exposureSeconds);
            }
            if (interrupted()) {
                error = frameName + ": interrupted; the frame was not saved";
                return false;
            }
        }
    }
    DeliveryChecks checks{.firstCheck = now - start, .lastPending = {}, .delivered = {}};
    // Each pending d_IsExposing has already paused 200 ms: no pause of our own.
    for (;;) {
        const auto check = now - start;
        if (api.IsExposing() == 0) {
            checks.delivered = check;
            break;
        }
        checks.lastPending = check;
        now = environment.steadyNow();
        const auto elapsed = now - start;
        const double elapsedSeconds = secondsSince(now);
        if (environment.progress) {
            environment.progress(frame, count, elapsedSeconds, exposureSeconds);
        }
        if (interrupted()) {
            error = frameName + ": interrupted; the frame was not saved";
            return false;
        }
        if (elapsed > limit) {
            error = frameName + ": no image from the camera after " +
                    formatSeconds(elapsedSeconds) + " (exposure " + formatSeconds(exposureSeconds) +
                    " + " + formatSeconds(timeoutMarginMs / 1000.0) + " margin for readout)";
            return false;
        }
    }
    if (environment.delivery != nullptr) {
        environment.delivery->record(environment.deliveryKey, length, checks);
    }
    downloadImage(api, image);
    return true;
}
