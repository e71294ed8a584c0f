#include "tools/capture/capture_session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <system_error>

#include "host/bayer_pattern.h"
#include "host/camera_identity.h"
#include "host/camera_modes.h"
#include "host/exposure_tracker.h"
#include "host/utc_time.h"
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

// "0.5 s", "90 s", "60 min".
std::string durationText(std::chrono::milliseconds length) {
    char text[40];
    if (length.count() >= 120000 && length.count() % 60000 == 0) {
        std::snprintf(text, sizeof text, "%lld min",
                      static_cast<long long>(length.count() / 60000));
    } else {
        std::snprintf(text, sizeof text, "%g s", length.count() / 1000.0);
    }
    return text;
}

// A stretch of the night without frames: from the first exposure that failed
// because the camera dropped out or stalled until a frame arrives again. The
// sequence gives it --camera-wait.
class CameraOutage {
public:
    using Clock = std::chrono::steady_clock;

    explicit CameraOutage(std::chrono::milliseconds limit) : limit_(limit) {}

    void exposureFailed(Clock::time_point now) {
        if (!since_) {
            since_ = now;
        }
    }
    void frameArrived() { since_.reset(); }
    bool active() const { return since_.has_value(); }
    bool overAt(Clock::time_point now) const { return since_ && now - *since_ >= limit_; }
    // How long a request may still wait for the camera.
    std::chrono::milliseconds waitLeft(Clock::time_point now) const {
        if (!since_) {
            return limit_;
        }
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - *since_);
        return std::max(std::chrono::milliseconds(0), limit_ - waited);
    }
    double secondsWaited(Clock::time_point now) const {
        return since_ ? std::chrono::duration<double>(now - *since_).count() : 0.0;
    }
    std::chrono::milliseconds limit() const { return limit_; }

private:
    std::chrono::milliseconds limit_;
    std::optional<Clock::time_point> since_;
};

// The frames of one run, from the first exposure to the last save. Frame
// numbers here count the frames asked for; a frame whose exposure failed keeps
// its number until it is saved, and files take theirs when they are saved, so
// neither has a gap.
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
          previews_(files_, {.saved = reports.saved, .failed = reports.warning}),
          outage_(std::chrono::milliseconds(options.cameraWaitMs)) {}

    // Returns an exit status.
    int captureFrames(FrameDescription frame, std::string &error) {
        for (uint32_t number = 1; number <= options_.count;) {
            if (requested(environment_.stopRequested)) {
                error = stoppedByInterrupt();
                return kExitInterrupted;
            }
            std::vector<uint16_t> image;
            int status = kExitDone;
            const Attempt attempt = takeFrame(number, image, status, error);
            if (attempt == Attempt::Ended) {
                return status;
            }
            if (attempt == Attempt::Failed) {
                continue;  // the same frame again
            }
            frame.startUtc = tracker_.lastExposure()->startUtc;
            if (!saveFrame(std::move(image), frame, utcStamp(frame.startUtc), error)) {
                return kExitFailure;
            }
            ++number;
        }
        previews_.finish();
        if (requested(environment_.stopRequested)) {
            error = stoppedByInterrupt();
            return kExitInterrupted;
        }
        if (failedExposures_ > 0) {
            error = "sequence complete, " + savedSoFar(false) + "; " + retakenSummary();
            return kExitFramesRetaken;
        }
        return kExitDone;
    }

    uint32_t framesSaved() const { return framesSaved_; }

private:
    enum class Attempt {
        Frame,   // the frame arrived
        Failed,  // the exposure failed and is to be taken again
        Ended,   // the run ends with `status`
    };

    // One exposure of frame `number` through the worker: its events bring
    // the start, the frame or why there is none; between them the progress is
    // shown and interrupts are taken.
    Attempt takeFrame(uint32_t number, std::vector<uint16_t> &image, int &status,
                      std::string &error) {
        std::optional<ExposureRequest> request =
            tracker_.begin(options_.exposureMs / 1000.0, plan_, error);
        if (!request) {
            status = kExitFailure;
            return Attempt::Ended;
        }
        request->waitForCamera = outage_.waitLeft(std::chrono::steady_clock::now());
        worker_.expose(*request);
        const std::string frameName = "frame " + std::to_string(number);
        for (;;) {
            while (!pending_.empty()) {
                WorkerEvent event = std::move(pending_.front());
                pending_.pop_front();
                if (event.id == 0) {
                    reportCamera(event);
                    continue;
                }
                switch (tracker_.onEvent(event)) {
                    case ExposureTracker::Meaning::Stale:
                    case ExposureTracker::Meaning::Started:
                        break;
                    case ExposureTracker::Meaning::Frame:
                        outage_.frameArrived();
                        showAwaitingCamera();
                        image = plan_.deliversSubframe() ? std::move(event.image)
                                                         : cropToSubframe(event.image, plan_);
                        return Attempt::Frame;
                    case ExposureTracker::Meaning::Failed:
                        return exposureFailed(number, event.message, event.recovering, status,
                                              error);
                }
            }
            showAwaitingCamera();
            if (requested(environment_.interrupted)) {
                abandon();
                error = frameName + " abandoned by a second interrupt " + savedSoFar();
                status = kExitInterrupted;
                return Attempt::Ended;
            }
            if (awaitingCamera() && requested(environment_.stopRequested)) {
                error = stoppedByInterrupt();
                abandon();
                status = kExitInterrupted;
                return Attempt::Ended;
            }
            showProgress(number);
            for (WorkerEvent &event : events_.next(worker_, kProgressPeriod)) {
                pending_.push_back(std::move(event));
            }
        }
    }

    // A failure the camera may recover from (it dropped out or stalled) is
    // reported and the frame taken again while the wait allows; any other ends
    // the run.
    Attempt exposureFailed(uint32_t number, const std::string &message, bool recovering,
                           int &status, std::string &error) {
        const std::string what = "frame " + std::to_string(number) + ": " + message;
        if (!recovering) {
            error = what;
            status = kExitFailure;
            return Attempt::Ended;
        }
        const auto now = std::chrono::steady_clock::now();
        outage_.exposureFailed(now);
        if (requested(environment_.stopRequested)) {
            error = what + "; stopped by an interrupt " + savedSoFar();
            status = kExitInterrupted;
            return Attempt::Ended;
        }
        if (outage_.overAt(now)) {
            error = what + "; " +
                    (outage_.limit().count() == 0
                         ? std::string("--camera-wait 0 does not wait for it")
                         : "no frame from the camera within " + durationText(outage_.limit()) +
                               " (--camera-wait)") +
                    ", stopped " + savedSoFar();
            status = kExitCameraGone;
            return Attempt::Ended;
        }
        showAwaitingCamera();  // before the report: an interrupt after it ends the run at once
        ++failedExposures_;
        if (retakenFrames_.empty() || retakenFrames_.back() != number) {
            retakenFrames_.push_back(number);
        }
        const auto utcNow = environment_.utcNow();
        reports_.camera("frame " + std::to_string(number) + " failed at " + utcTimeText(utcNow) +
                        " UTC: " + message + "; taking it again (waiting for the camera until " +
                        utcTimeText(utcNow + outage_.waitLeft(now)) + " UTC at most)");
        return Attempt::Failed;
    }

    // The camera's own events: the first failed attempt to open it of each
    // outage (the reason it is away), and its return.
    void reportCamera(const WorkerEvent &event) {
        if (event.kind == WorkerEvent::Kind::ReopenFailed && event.attempt == 1) {
            reports_.camera("waiting for the camera: " + event.message);
        } else if (event.kind == WorkerEvent::Kind::CameraBack) {
            reports_.camera("the camera answers again since " + utcTimeText(event.time) +
                            " UTC (opened at attempt " + std::to_string(event.attempt) + ")");
        }
    }

    // The frame in hand is given up: a running exposure's frame is dropped,
    // one held for the camera never starts.
    void abandon() {
        worker_.abort();
        tracker_.abort();
    }

    // After a failed exposure, until the camera starts the frame again.
    bool awaitingCamera() const {
        return outage_.active() &&
               (!tracker_.running() || tracker_.phase() == ExposurePhase::Waiting);
    }
    void showAwaitingCamera() const {
        if (environment_.awaitingCamera != nullptr) {
            *environment_.awaitingCamera = awaitingCamera();
        }
    }

    void showProgress(uint32_t number) const {
        const auto now = std::chrono::steady_clock::now();
        if (awaitingCamera()) {
            if (environment_.waiting) {
                environment_.waiting(number, options_.count, outage_.secondsWaited(now),
                                     outage_.limit().count() / 1000.0);
            }
            return;
        }
        const ExposurePhase phase = tracker_.phase();
        if ((phase == ExposurePhase::Exposing || phase == ExposurePhase::Reading) &&
            environment_.progress) {
            const std::chrono::duration<double> elapsed = now - tracker_.current()->startSteady;
            environment_.progress(number, options_.count, elapsed.count(),
                                  options_.exposureMs / 1000.0);
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

    std::string stoppedByInterrupt() const {
        return std::string("stopped by an interrupt ") +
               (awaitingCamera() ? "while waiting for the camera " : "") + savedSoFar();
    }

    std::string savedSoFar(bool after = true) const {
        if (framesSaved_ == 0) {
            return "before any frame was saved";
        }
        const std::string counted =
            std::to_string(framesSaved_) + " of " + std::to_string(options_.count) + " frames";
        return after ? "after " + counted + " were saved" : counted + " saved";
    }

    // "2 exposures failed and were taken again (frames 3, 7)"
    std::string retakenSummary() const {
        constexpr size_t kListed = 10;
        std::string frames;
        for (size_t i = 0; i < retakenFrames_.size() && i < kListed; ++i) {
            frames += (i > 0 ? ", " : "") + std::to_string(retakenFrames_[i]);
        }
        if (retakenFrames_.size() > kListed) {
            frames += " and " + std::to_string(retakenFrames_.size() - kListed) + " more";
        }
        const bool one = failedExposures_ == 1;
        return std::to_string(failedExposures_) + (one ? " exposure" : " exposures") +
               " failed and " + (one ? "was" : "were") + " taken again (" +
               (retakenFrames_.size() == 1 ? "frame " : "frames ") + frames + ")";
    }

    CameraWorker &worker_;
    WorkerEvents &events_;
    FramePlan plan_;
    const Options &options_;
    const CaptureEnvironment &environment_;
    const CaptureReports &reports_;
    FrameFiles files_;
    PreviewWriter previews_;
    ExposureTracker tracker_;
    CameraOutage outage_;
    std::deque<WorkerEvent> pending_;  // taken from the worker, not yet handled
    uint32_t framesSaved_ = 0;
    uint32_t failedExposures_ = 0;
    std::vector<uint32_t> retakenFrames_;  // in order, each once
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
