#include "tools/capture/capture_session.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "host/bayer_pattern.h"
#include "host/camera_modes.h"
#include "tools/capture/fits_writer.h"
#include "tools/capture/output_naming.h"
#include "tools/capture/png_preview.h"
#include "tools/capture/safe_file.h"

namespace {

// Whatever happens after d_Initialize, the driver gets its d_Finalize.
struct FinalizeOnExit {
    const DriverApi &api;
    ~FinalizeOnExit() { api.Finalize(); }
};

bool saveFrame(const std::vector<uint16_t> &image, const FrameDescription &frame,
               const std::string &path, const Options &options,
               const std::function<void(const std::string &)> &saved, std::string &error) {
    std::vector<uint8_t> fits;
    if (!encodeFits(frame, image, fits, error) ||
        !writeFileAtomically(path, fits, options.overwrite, error)) {
        return false;
    }
    saved(path);
    if (!options.png) {
        return true;
    }
    std::vector<uint8_t> png;
    const std::string previewPath = previewPathOf(path);
    if (!encodePng(makePreview(image, frame.width, frame.height, frame.bayerPattern), png, error) ||
        !writeFileAtomically(previewPath, png, options.overwrite, error)) {
        return false;
    }
    saved(previewPath);
    return true;
}

RunTokens runTokensOf(const Options &options, uint32_t mode) {
    return {.mode = mode, .type = namesOf(options.type).name};
}

// Chooses the first frame number and proves the first file can be written:
// never a directory, never an existing fixed name unless overwriting, and a
// directory that exists and takes files. Returns an exit status.
int planOutput(const Options &options, const NameTemplate &names, uint32_t mode,
               const CaptureEnvironment &environment, uint64_t &number, std::string &error) {
    number = options.startNumber;
    if (!options.overwrite && names.hasCounter()) {
        number = firstFreeNumber(names, runTokensOf(options, mode), options.startNumber);
    }
    const std::string firstPath =
        expandName(names, number, utcStamp(environment.utcNow()), runTokensOf(options, mode));
    std::error_code ignored;
    if (std::filesystem::is_directory(firstPath, ignored)) {
        error = "--output names the directory " + firstPath + ", not a file";
        return kExitBadArguments;
    }
    // A fixed name is known now; numbered names were chosen past existing files.
    if (!names.hasCounter() && !names.hasTimestamp() && !options.overwrite) {
        std::vector<std::string> planned = {firstPath};
        if (options.png) {
            planned.push_back(previewPathOf(firstPath));
        }
        for (const std::string &path : planned) {
            if (access(path.c_str(), F_OK) == 0) {
                error = path + " already exists (use --overwrite to replace it)";
                return kExitFailure;
            }
        }
    }
    return prepareOutputDirectory(firstPath, error) ? kExitDone : kExitFailure;
}

std::string textOrEmpty(const char *text) { return text != nullptr ? text : ""; }

// What every frame of the run shares.
FrameDescription describeFrame(const DriverApi &api, uint32_t mode, const CameraMode &camera,
                               const PixelWindow &window, const Options &options) {
    FrameDescription frame;
    frame.width = window.width;
    frame.height = window.height;
    frame.exposureSeconds = options.exposureMs / 1000.0;
    frame.instrument = textOrEmpty(api.GetInfo());
    frame.driverName = textOrEmpty(api.GetName());
    frame.modeName = textOrEmpty(api.BinningName(mode));
    frame.mode = mode;
    frame.binning = camera.binFactor;
    frame.originX = window.x;
    frame.originY = window.y;
    frame.bayerPattern = bayerPatternFor(camera, window);
    frame.object = options.object;
    frame.imageType = namesOf(options.type).imageTyp;
    frame.pixelSizeMicrons = options.pixelSizeMicrons;
    return frame;
}

}  // namespace

int runList(const DriverApi &api, const std::string &driverPath, bool showMessages,
            std::string &out, std::string &error) {
    const char *name = api.GetName();
    const char *info = api.GetInfo();
    out += "driver: " + std::string(name != nullptr ? name : "") + " (" + driverPath + ")\n";
    out += "info:   " + std::string(info != nullptr ? info : "") + "\n";
    std::string cameraError;
    const bool connected = connectCamera(api, showMessages, cameraError);
    out += std::string("camera: ") + (connected ? "connected" : "not found") + "\n";
    out += "modes:\n";
    const std::vector<std::string> names = driverModeNames(api);
    for (uint32_t mode = 0; mode < names.size(); ++mode) {
        if (api.Subframe(0, 0, kHostWindowScale, kHostWindowScale, mode) == 0) {
            error = "the driver refused its own binning mode " + std::to_string(mode);
            api.Finalize();
            return kExitFailure;
        }
        const CameraMode *known = findCameraMode(mode);
        std::string notes;
        if (known != nullptr) {
            const PixelWindow whole{0, 0, api.GetWidth(0), api.GetHeight(0)};
            const PixelWindow shifted{1, 0, whole.width, whole.height};
            const std::string pattern = bayerPatternFor(*known, whole);
            if (pattern.empty()) {
                notes = "mono (colours mixed)";
            } else if (pattern != bayerPatternFor(*known, shifted)) {
                notes = "colour mosaic, phase follows the window (" + pattern + " full frame)";
            } else {
                notes = "colour mosaic " + pattern;
            }
            notes += ", window multiple " + std::to_string(geometryOf(*known).multiple);
        }
        char line[160];
        std::snprintf(line, sizeof line, "  %u  %-14s %5d x %-5d %s\n", mode, names[mode].c_str(),
                      api.GetWidth(0), api.GetHeight(0), notes.c_str());
        out += line;
    }
    api.Finalize();
    return kExitDone;
}

int runCapture(const DriverApi &api, const Options &options, const CaptureEnvironment &environment,
               const std::function<void(const std::string &path)> &saved, std::string &error) {
    uint32_t mode = 0;
    if (!resolveMode(options.mode, driverModeNames(api), mode, error)) {
        return kExitBadArguments;
    }
    const CameraMode *camera = findCameraMode(mode);
    if (camera == nullptr) {
        error = "mode " + std::to_string(mode) + " is not one this tool knows";
        return kExitBadArguments;
    }
    const ModeGeometry geometry = geometryOf(*camera);
    PixelWindow window;
    if (!resolveWindow(options.window, geometry, window, error)) {
        return kExitBadArguments;
    }
    NameTemplate names;
    if (!parseNameTemplate(options.output, names, error)) {
        return kExitBadArguments;
    }
    if (options.count > 1 && !names.hasCounter()) {
        error = "--output needs {n} in its name to save a sequence of frames";
        return kExitBadArguments;
    }
    // Everything about the files is settled before the camera is touched.
    uint64_t number = 0;
    if (const int status = planOutput(options, names, mode, environment, number, error);
        status != kExitDone) {
        return status;
    }

    FinalizeOnExit finalize{api};
    if (!connectCamera(api, options.showDriverMessages, error) ||
        !selectWindow(api, mode, window, geometry, error)) {
        return kExitFailure;
    }
    FrameDescription frame = describeFrame(api, mode, *camera, window, options);

    std::vector<uint16_t> image(static_cast<size_t>(window.width) * window.height);
    for (uint32_t i = 1; i <= options.count; ++i, ++number) {
        const auto exposureStart = environment.utcNow();
        if (!exposeFrame(api, options.exposureMs, options.timeoutMarginMs, i, options.count,
                         environment, image, error)) {
            return kExitFailure;
        }
        frame.dateObs = fitsDateTime(exposureStart);
        frame.date = fitsDateTime(environment.utcNow());
        const std::string path =
            expandName(names, number, utcStamp(exposureStart), runTokensOf(options, mode));
        if (!saveFrame(image, frame, path, options, saved, error)) {
            return kExitFailure;
        }
    }
    return kExitDone;
}
