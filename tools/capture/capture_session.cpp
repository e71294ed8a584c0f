#include "tools/capture/capture_session.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "host/bayer_pattern.h"
#include "host/camera_identity.h"
#include "host/camera_modes.h"
#include "tools/capture/fits_writer.h"
#include "tools/capture/frame_files.h"
#include "tools/capture/output_naming.h"
#include "tools/capture/preview_writer.h"
#include "tools/capture/safe_file.h"

namespace {

// How often a frame's wait shows its progress and looks for interrupts.
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);

RunTokens runTokensOf(const Options &options, uint32_t mode) {
    return {.mode = mode, .type = namesOf(options.type).name};
}

// A night's sequence that will not fit on the disk is worth knowing of before
// it starts; the frames that fit are still taken.
void warnIfShortOfSpace(const Options &options, const Subframe &window, bool colour,
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

// What every frame of the run shares; each frame adds its start.
FrameDescription describeFrame(const ConnectOutcome &driver, const FramePlan &plan,
                               const Options &options) {
    return {.plan = plan,
            .modeName = plan.mode < driver.modeNames.size() ? driver.modeNames[plan.mode] : "",
            .exposureSeconds = options.exposureMs / 1000.0,
            .startUtc = {},
            .imageType = imageTypeText(options.type),
            .pixelSizeMicrons = options.pixelSizeMicrons,
            // Every program names the camera as its clients list it.
            .instrument = kCameraName,
            .driverName = driver.driverName,
            .program = "qm-capture",
            .object = options.object};
}

Opening cameraOpening(bool showMessages) {
    return showMessages ? Opening::CameraWithMessages : Opening::Camera;
}

}  // namespace

int runList(CameraWorker &worker, const std::string &driverPath, const ConnectOutcome &module,
            bool showMessages, std::string &out) {
    out += "driver: " + module.driverName + " (" + driverPath + ")\n";
    out += "info:   " + module.driverInfo + "\n";
    const bool connected = worker.connect(driverPath, cameraOpening(showMessages)).get().connected;
    out += std::string("camera: ") + (connected ? "connected" : "not found") + "\n";
    out += "modes:\n";
    // The module was loaded only once every mode it has made the full frame
    // this camera's description expects: the sizes are those.
    for (uint32_t mode = 0; mode < module.modeNames.size(); ++mode) {
        const CameraMode *known = findCameraMode(mode);
        if (known == nullptr) {
            out += "  " + std::to_string(mode) + "  " + module.modeNames[mode] +
                   " (not a mode this tool knows)\n";
            continue;
        }
        const ModeGeometry geometry = geometryOf(*known);
        const PixelWindow whole{0, 0, geometry.frameWidth, geometry.frameHeight};
        const PixelWindow shifted{1, 0, whole.width, whole.height};
        const std::string pattern = bayerPatternFor(*known, whole);
        std::string notes;
        if (pattern.empty()) {
            notes = "mono (colours mixed)";
        } else if (pattern != bayerPatternFor(*known, shifted)) {
            notes = "colour mosaic, phase follows the window (" + pattern + " full frame)";
        } else {
            notes = "colour mosaic " + pattern;
        }
        if (geometry.multiple > 1) {
            notes += ", windows read in steps of " + std::to_string(geometry.multiple) +
                     " and cropped";
        }
        char line[160];
        std::snprintf(line, sizeof line, "  %u  %-14s %5d x %-5d %s\n", mode,
                      module.modeNames[mode].c_str(), whole.width, whole.height, notes.c_str());
        out += line;
    }
    return kExitDone;
}

namespace {

// The frames of one run, from the first exposure to the last save.
class CaptureRun {
public:
    CaptureRun(CameraWorker &worker, WorkerEvents &events, const FramePlan &plan,
               const Options &options,
               const CaptureEnvironment &environment, const CaptureReports &reports,
               FrameFileSettings files)
        : worker_(worker),
          events_(events),
          plan_(plan),
          options_(options),
          environment_(environment),
          reports_(reports),
          files_(std::move(files)),
          previews_(files_, {.saved = reports.saved, .failed = reports.warning}) {}

    // Returns an exit status.
    int captureFrames(FrameDescription frame, std::string &error) {
        for (uint32_t i = 1; i <= options_.count; ++i) {
            if (requested(environment_.stopRequested)) {
                error = "stopped by an interrupt " + savedSoFar();
                return kExitInterrupted;
            }
            std::vector<uint16_t> image;
            std::chrono::system_clock::time_point started;
            if (const int status = awaitFrame(i, image, started, error); status != kExitDone) {
                return status;
            }
            frame.startUtc = started;
            if (!saveFrame(std::move(image), frame, utcStamp(started), error)) {
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
    // Frame `number` through the worker: its events bring the start, the
    // frame or why there is none; between them the progress is shown and an
    // interrupt that abandons the frame is taken. Returns an exit status.
    int awaitFrame(uint32_t number, std::vector<uint16_t> &image,
                   std::chrono::system_clock::time_point &started, std::string &error) {
        worker_.expose({.id = number,
                        .lengthMs = options_.exposureMs,
                        .mode = plan_.mode,
                        .window = plan_.window,
                        .geometry = plan_.geometry});
        const std::string frameName = "frame " + std::to_string(number);
        const double exposureSeconds = options_.exposureMs / 1000.0;
        bool exposing = false;
        for (;;) {
            for (WorkerEvent &event : events_.next(worker_, kProgressPeriod)) {
                if (event.id != number) {
                    continue;
                }
                if (event.kind == WorkerEvent::Kind::ExposureStarted) {
                    exposing = true;
                    started = event.time;
                } else if (event.kind == WorkerEvent::Kind::FrameReady) {
                    image = plan_.deliversSubframe() ? std::move(event.image)
                                                     : cropToSubframe(event.image, plan_);
                    return kExitDone;
                } else if (event.kind == WorkerEvent::Kind::ExposureFailed) {
                    error = frameName + ": " + event.message;
                    return kExitFailure;
                }
            }
            if (requested(environment_.interrupted)) {
                worker_.abort();
                error = frameName + " abandoned by a second interrupt " + savedSoFar();
                return kExitInterrupted;
            }
            if (exposing && environment_.progress) {
                const std::chrono::duration<double> elapsed = environment_.utcNow() - started;
                environment_.progress(number, options_.count, elapsed.count(), exposureSeconds);
            }
        }
    }

    bool saveFrame(std::vector<uint16_t> image, const FrameDescription &frame,
                   const std::string &stamp, std::string &error) {
        std::vector<uint8_t> fits;
        std::string path;
        if (!encodeFits(frame, environment_.utcNow(), image, fits, error) ||
            !files_.saveFits(fits, stamp, path, error)) {
            error = "frame " + std::to_string(framesSaved_ + 1) + " not saved: " + error +
                    (framesSaved_ > 0 ? "; earlier frames are saved" : "");
            return false;
        }
        ++framesSaved_;
        reports_.saved(path);
        if (options_.png) {
            previews_.submit(std::move(image), frame.plan.subframe.width, frame.plan.subframe.height,
                             subframeColours(frame.plan).pattern, path);
        }
        return true;
    }

    std::string savedSoFar() const {
        return framesSaved_ == 0 ? std::string("before any frame was saved")
                                 : "after " + std::to_string(framesSaved_) + " of " +
                                       std::to_string(options_.count) + " frames were saved";
    }

    CameraWorker &worker_;
    WorkerEvents &events_;
    FramePlan plan_;
    const Options &options_;
    const CaptureEnvironment &environment_;
    const CaptureReports &reports_;
    FrameFiles files_;
    PreviewWriter previews_;
    uint32_t framesSaved_ = 0;
};

}  // namespace

int runCapture(CameraWorker &worker, WorkerEvents &events, const std::string &driverPath,
               const ConnectOutcome &module, const Options &options,
               const CaptureEnvironment &environment, const CaptureReports &reports,
               std::string &error) {
    uint32_t mode = 0;
    if (!resolveMode(options.mode, module.modeNames, mode, error)) {
        return kExitBadArguments;
    }
    const CameraMode *camera = findCameraMode(mode);
    if (camera == nullptr) {
        error = "mode " + std::to_string(mode) + " is not one this tool knows";
        return kExitBadArguments;
    }
    const ModeGeometry geometry = geometryOf(*camera);
    Subframe subframe;
    if (!resolveWindow(options.window, geometry, subframe, error)) {
        return kExitBadArguments;
    }
    const FramePlan plan = planFrame(subframe, mode);
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
    const ConnectOutcome driver = worker.connect(driverPath, cameraOpening(options.showDriverMessages)).get();
    if (!driver.connected) {
        error = driver.error;
    } else {
        warnIfShortOfSpace(options, subframe, camera->keepsMosaic,
                           directory.path, reports);
        CaptureRun run(worker, events, plan, options, environment, reports, std::move(files));
        status = run.captureFrames(describeFrame(driver, plan, options), error);
        saved = run.framesSaved();
    }
    if (saved == 0) {
        removeMadeDirectories(directory);
    }
    return status;
}
