#include "tools/capture/capture_session.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "host/bayer_pattern.h"
#include "host/camera_modes.h"
#include "tools/capture/fits_writer.h"
#include "tools/capture/frame_files.h"
#include "tools/capture/output_naming.h"
#include "tools/capture/preview_writer.h"
#include "tools/capture/safe_file.h"

namespace {

// Whatever happens after d_Initialize, the driver gets its d_Finalize.
struct FinalizeOnExit {
    const DriverApi &api;
    ~FinalizeOnExit() { api.Finalize(); }
};

RunTokens runTokensOf(const Options &options, uint32_t mode) {
    return {.mode = mode, .type = namesOf(options.type).name};
}

// A night's sequence that will not fit on the disk is worth knowing of before
// it starts; the frames that fit are still taken.
void warnIfShortOfSpace(const Options &options, const PixelWindow &window, bool colour,
                        const std::string &directory, const CaptureReports &reports) {
    constexpr uint64_t kFitsRecord = 2880;
    const uint64_t samples = static_cast<uint64_t>(window.width) * window.height;
    // The header takes two records at most; previews came to a fifth to a
    // half of their raw size on the simulated sky.
    uint64_t frameBytes =
        (2 * kFitsRecord + samples * 2 + kFitsRecord - 1) / kFitsRecord * kFitsRecord;
    if (options.png) {
        frameBytes += samples * (colour ? 3 : 1) / 2;
    }
    const uint64_t available = freeBytes(directory);
    const uint64_t room = available / frameBytes;
    if (room >= options.count) {
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "has room for about %llu of the %u frames (%.1f MB free, "
                  "about %.1f MB a frame)",
                  static_cast<unsigned long long>(room), options.count, available / 1e6,
                  frameBytes / 1e6);
    reports.warning(directory + " " + text);
}

bool requested(const std::atomic<bool> *flag) { return flag != nullptr && flag->load(); }

// Chooses the first frame number and proves that files can be saved the way
// frames will be: never as a directory, never over an existing fixed name
// unless overwriting, in a directory that exists and takes them. Returns an
// exit status.
int planOutput(const Options &options, const NameTemplate &names, uint32_t mode,
               const CaptureEnvironment &environment, FrameFileSettings &files,
               std::string &error) {
    files.names = names;
    files.run = runTokensOf(options, mode);
    files.overwrite = options.overwrite;
    files.previews = options.png;
    files.firstNumber = options.startNumber;
    if (!options.overwrite && names.hasCounter()) {
        files.firstNumber = firstFreeNumber(names, files.run, options.startNumber);
    }
    const std::string firstPath =
        expandName(names, files.firstNumber, utcStamp(environment.utcNow()), files.run);
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
    return prepareOutputDirectory(firstPath, files.directory, error) ? kExitDone : kExitFailure;
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

namespace {

// The frames of one run, from the first exposure to the last save.
class CaptureRun {
public:
    CaptureRun(const DriverApi &api, const Options &options, const CaptureEnvironment &environment,
               const CaptureReports &reports, FrameFileSettings files)
        : api_(api),
          options_(options),
          environment_(environment),
          reports_(reports),
          files_(std::move(files)),
          previews_(files_, {.saved = reports.saved, .failed = reports.warning}) {}

    // Returns an exit status.
    int captureFrames(FrameDescription frame, std::string &error) {
        std::vector<uint16_t> image(static_cast<size_t>(frame.width) * frame.height);
        // Every frame of the run has the same mode and window: from the second
        // on, the first poll comes when the frame is expected.
        DeliveryEstimate delivery;
        ExposureEnvironment exposure = environment_;
        exposure.delivery = &delivery;
        exposure.deliveryKey = {.mode = frame.mode, .width = frame.width, .height = frame.height};
        for (uint32_t i = 1; i <= options_.count; ++i) {
            if (requested(environment_.stopRequested)) {
                error = "stopped by an interrupt " + savedSoFar();
                return kExitInterrupted;
            }
            const auto exposureStart = environment_.utcNow();
            if (!exposeFrame(api_, options_.exposureMs, options_.timeoutMarginMs, i, options_.count,
                             exposure, image, error)) {
                if (requested(environment_.interrupted)) {
                    error = "frame " + std::to_string(i) + " abandoned by a second interrupt " +
                            savedSoFar();
                    return kExitInterrupted;
                }
                return kExitFailure;
            }
            frame.dateObs = fitsDateTime(exposureStart);
            frame.date = fitsDateTime(environment_.utcNow());
            if (!saveFrame(image, frame, utcStamp(exposureStart), error)) {
                return kExitFailure;
            }
        }
        previews_.finish();
        if (requested(environment_.stopRequested)) {
            error = "stopped by an interrupt " + savedSoFar();
            return kExitInterrupted;
        }
        return kExitDone;
    }

    uint32_t framesSaved() const { return framesSaved_; }

private:
    bool saveFrame(const std::vector<uint16_t> &image, const FrameDescription &frame,
                   const std::string &stamp, std::string &error) {
        std::vector<uint8_t> fits;
        std::string path;
        if (!encodeFits(frame, image, fits, error) || !files_.saveFits(fits, stamp, path, error)) {
            error = "frame " + std::to_string(framesSaved_ + 1) + " not saved: " + error +
                    (framesSaved_ > 0 ? "; earlier frames are saved" : "");
            return false;
        }
        ++framesSaved_;
        reports_.saved(path);
        if (options_.png) {
            previews_.submit(image, frame.width, frame.height, frame.bayerPattern, path);
        }
        return true;
    }

    std::string savedSoFar() const {
        return framesSaved_ == 0 ? std::string("before any frame was saved")
                                 : "after " + std::to_string(framesSaved_) + " of " +
                                       std::to_string(options_.count) + " frames were saved";
    }

    const DriverApi &api_;
    const Options &options_;
    const CaptureEnvironment &environment_;
    const CaptureReports &reports_;
    FrameFiles files_;
    PreviewWriter previews_;
    uint32_t framesSaved_ = 0;
};

}  // namespace

int runCapture(const DriverApi &api, const Options &options, const CaptureEnvironment &environment,
               const CaptureReports &reports, std::string &error) {
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
    FrameFileSettings files;
    if (const int status = planOutput(options, names, mode, environment, files, error);
        status != kExitDone) {
        return status;
    }
    const OutputDirectory directory = files.directory;
    int status = kExitFailure;
    uint32_t saved = 0;
    {
        FinalizeOnExit finalize{api};
        if (connectCamera(api, options.showDriverMessages, error) &&
            selectWindow(api, mode, window, geometry, error)) {
            warnIfShortOfSpace(options, window, !bayerPatternFor(*camera, window).empty(),
                               directory.path, reports);
            CaptureRun run(api, options, environment, reports, std::move(files));
            status = run.captureFrames(describeFrame(api, mode, *camera, window, options), error);
            saved = run.framesSaved();
        }
    }
    if (saved == 0) {
        removeMadeDirectories(directory);
    }
    return status;
}
