#include "host/host_session.h"


namespace {

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
        if (api.Subframe(0, 0, kWindowScale, kWindowScale, mode) == 0) {
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
