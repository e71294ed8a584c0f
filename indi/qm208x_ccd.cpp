// The device's life: properties defined and withdrawn with the connection,
// connecting and disconnecting the camera, and the worker's events taken on
// INDI's event loop and handed to the job each belongs to.
#include "indi/qm208x_ccd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <libindi/eventloop.h>

#include "host/module_path.h"
#include "indi/stdin_relay.h"

namespace {

// INDI drivers take no options and the module path is not saved in the
// configuration: QM_DRIVER_MODULE, then beside the driver, then installed.
std::string initialModulePath() { return findDriverModule({}).path; }


Qm208xCcd *liveCamera = nullptr;

// The driver ends with exit() when indiserver goes away. The camera must be
// closed before the module's own static objects are destroyed, and exit
// handlers run in reverse order of registration: one registered after each
// connection (after the module made its statics) runs before them.
void closeCameraAtExit() {
    if (liveCamera != nullptr) {
        liveCamera->shutdown();
    }
}

}  // namespace

Qm208xCcd::Qm208xCcd()
    : modulePath_(initialModulePath()),
      givenReadoutMargin_(readoutMarginFromText(std::getenv("QM_READOUT_MARGIN"))) {
    liveCamera = this;
    setVersion(1, 0);
    if (pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeCallback_ = addCallback(wakePipe_[0], &Qm208xCcd::onWorkerWake, this);
    }
    worker_ = std::make_unique<CameraWorker>(
        dynamicModuleLoader(), [this] { wake(); },
        givenReadoutMargin_.value_or(kDefaultReadoutMargin));
}

void Qm208xCcd::wake() const {
    // One pending byte is enough to wake the loop; a full pipe already will.
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(wakePipe_[1], &byte, 1);
}

void Qm208xCcd::shutdown() { worker_.reset(); }

Qm208xCcd::~Qm208xCcd() {
    liveCamera = nullptr;
    worker_.reset();
    if (wakeCallback_ >= 0) {
        rmCallback(wakeCallback_);
    }
    for (int fd : wakePipe_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool Qm208xCcd::initProperties() {
    INDI::CCD::initProperties();

    SetCCDCapability(CCD_CAN_ABORT | CCD_CAN_BIN | CCD_CAN_SUBFRAME | CCD_HAS_BAYER |
                     CCD_HAS_STREAMING);
    PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0, kLongestExposureSeconds, 1,
                             false);
    PrimaryCCD.setMinMaxStep("CCD_BINNING", "HOR_BIN", 1, kLargestBinFactor, 1, false);
    PrimaryCCD.setMinMaxStep("CCD_BINNING", "VER_BIN", 1, kLargestBinFactor, 1, false);
    // The pattern follows the mode and the frame; clients read it, never set it.
    setColourFilterPermission(IP_RO);

    // Read-only: the module is chosen where the driver is started (the
    // environment), never by a client, since loading it runs its code.
    IUFillText(&modulePathT_[0], "PATH", "Path", modulePath_.c_str());
    IUFillTextVector(&modulePathTP_, modulePathT_, 1, getDeviceName(), kModulePathProperty,
                     "Driver module", CONNECTION_TAB, IP_RO, 60, IPS_IDLE);

    IUFillNumber(&pixelSizeN_[0], "PIXEL_SIZE", "Pixel size (um, 0 unknown)", "%.2f", 0,
                 kMaxPixelSizeMicrons, 0.01, 0);
    IUFillNumberVector(&pixelSizeNP_, pixelSizeN_, 1, getDeviceName(), kPixelSizeProperty,
                       "Pixel size", IMAGE_INFO_TAB, IP_RW, 60, IPS_IDLE);

    IUFillNumber(&cameraWaitN_[0], "SECONDS", "Wait for a lost camera (s)", "%.0f", 0,
                 kLongestCameraWaitSeconds, 1, kDefaultCameraWaitSeconds);
    IUFillNumberVector(&cameraWaitNP_, cameraWaitN_, 1, getDeviceName(), kCameraWaitProperty,
                       "Camera drop-out", OPTIONS_TAB, IP_RW, 60, IPS_IDLE);

    for (size_t i = 0; i < kCameraModes.size(); ++i) {
        const std::string name = "MODE_" + std::to_string(i);
        IUFillSwitch(&modeS_[i], name.c_str(), name.c_str(), i == mode_ ? ISS_ON : ISS_OFF);
    }
    IUFillSwitchVector(&modeSP_, modeS_, kCameraModes.size(), getDeviceName(), kModeProperty,
                       "Binning mode", IMAGE_SETTINGS_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);

    addCaptureFormat({"INDI_RAW", "RAW 16", 16, true});
    // Fixed for the camera; set once, before any client sees the properties.
    SetCCDParams(kSensorWidth, kSensorHeight, 16, 0, 0);
    PrimaryCCD.setBin(1, 1);
    PrimaryCCD.setFrame(frame_.x, frame_.y, frame_.width, frame_.height);

    // Images saved where the driver runs (UPLOAD_MODE Local or Both) go to
    // its user's home folder; libindi's empty default would mean the root.
    const char *home = std::getenv("HOME");
    setUploadDirectory(home != nullptr && *home != '\0' ? home : "/tmp");

    addDebugControl();
    addConfigurationControl();
    return true;
}

bool Qm208xCcd::SetCaptureFormat(uint8_t) { return true; }

void Qm208xCcd::ISGetProperties(const char *dev) {
    INDI::CCD::ISGetProperties(dev);
    defineProperty(&modulePathTP_);
}

bool Qm208xCcd::updateProperties() {
    if (isConnected()) {
        // Everything is set before the properties are defined, so that no
        // update follows their definitions.
        for (size_t i = 0; i < kCameraModes.size(); ++i) {
            // The labels are the module's own mode names.
            std::snprintf(modeS_[i].label, sizeof modeS_[i].label, "%s", modeNames_[i].c_str());
        }
        modeSP_.s = IPS_OK;
        updateColourFilter();
        describeStream();
        INDI::CCD::updateProperties();
        colourFilterDefined_ = HasBayer();
        defineProperty(&modeSP_);
        defineProperty(&pixelSizeNP_);
        defineProperty(&cameraWaitNP_);
    } else {
        // A refusal's Alert does not outlive the connection.
        for (const char *name : {"CCD_FRAME", "CCD_BINNING", "CCD_EXPOSURE"}) {
            INDI::PropertyNumber property = getNumber(name);
            if (property.isValid()) {
                property.setState(IPS_IDLE);
            }
        }
        INDI::CCD::updateProperties();
        colourFilterDefined_ = false;
        deleteProperty(modeSP_.name);
        deleteProperty(pixelSizeNP_.name);
        deleteProperty(cameraWaitNP_.name);
    }
    return true;
}

bool Qm208xCcd::Connect() {
    auto pending = worker_->connect(modulePath_);
    if (pending.wait_for(kConnectTimeout) != std::future_status::ready) {
        LOGF_ERROR("The driver module did not answer within %lld s.",
                   static_cast<long long>(kConnectTimeout.count()));
        worker_->disconnect();
        return false;
    }
    ConnectOutcome outcome = pending.get();
    if (!outcome.connected) {
        LOGF_ERROR("Not connected: %s.", outcome.error.c_str());
        return false;
    }
    if (outcome.modeNames.size() != kCameraModes.size()) {
        LOGF_ERROR("Not connected: the driver module %s offers %zu binning modes, this INDI "
                   "driver knows the camera's %zu.",
                   modulePath_.c_str(), outcome.modeNames.size(), kCameraModes.size());
        worker_->disconnect();
        return false;
    }
    std::atexit(closeCameraAtExit);
    driverName_ = outcome.driverName;
    modeNames_ = outcome.modeNames;
    absence_.forget();
    LOGF_INFO("%s connected through %s (%s).", outcome.driverInfo.c_str(), modulePath_.c_str(),
              driverName_.c_str());
    if (!givenReadoutMargin_) {
        LOGF_WARN(
            "QM_READOUT_MARGIN=%s ignored: give seconds from %g to %g. A frame may arrive "
            "up to %lld s after its exposure's end.",
            std::getenv("QM_READOUT_MARGIN"), kShortestReadoutMargin.count() / 1000.0,
            kLongestReadoutMargin.count() / 1000.0,
            static_cast<long long>(kDefaultReadoutMargin.count() / 1000));
    }
    return true;
}

bool Qm208xCcd::Disconnect() {
    absence_.forget();
    endStream("Live video stopped: the camera is disconnected.");
    if (exposures_.abort()) {
        LOG_WARN("Disconnected during an exposure: its frame is abandoned.");
        InExposure = false;
    }
    worker_->disconnect();
    return true;
}


void Qm208xCcd::onWorkerWake(int fd, void *self) {
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
    static_cast<Qm208xCcd *>(self)->handleWorkerEvents();
}

void Qm208xCcd::handleWorkerEvents() {
    if (uploadFinished_.exchange(false)) {
        onUploadFinished();
    }
    if (!worker_) {
        return;
    }
    if (const double seconds = takeFastExposureRequest(); seconds >= 0) {
        requestExposure(seconds);
    }
    for (WorkerEvent &event : worker_->takeEvents()) {
        if (event.kind == WorkerEvent::Kind::CameraLost ||
            event.kind == WorkerEvent::Kind::ReopenFailed ||
            event.kind == WorkerEvent::Kind::CameraBack) {
            onCameraEvent(event);
            continue;
        }
        if (event.kind == WorkerEvent::Kind::ExposureFailed && event.recovering && isConnected()) {
            absence_.lose(std::chrono::steady_clock::now());
        }
        if (isStreamFrame(event.id)) {
            if (event.kind == WorkerEvent::Kind::FrameReady) {
                --stream_->inFlight;
                onStreamFrame(event.image);
                requestStreamFrames();
            } else if (event.kind == WorkerEvent::Kind::ExposureFailed) {
                // Not resumed by itself: a client sees the stream end and
                // starts it again once the camera is back.
                endStream(("Live video stopped: " + event.message +
                           (event.recovering ? ". Start it again once the camera is back." : "."))
                              .c_str());
            }
            continue;
        }
        onExposureEvent(event);
    }
}

void Qm208xCcd::onCameraEvent(const WorkerEvent &event) {
    if (!isConnected()) {
        return;  // of a reopening a disconnect has ended
    }
    const auto now = std::chrono::steady_clock::now();
    switch (event.kind) {
        case WorkerEvent::Kind::CameraLost:
            absence_.lose(now);
            if (cameraWaitN_[0].value > 0) {
                LOGF_ERROR(
                    "Camera lost: %s. The driver reopens it by itself and stays connected; an "
                    "exposure asked in the next %g s waits for it, later ones fail until it "
                    "is back.",
                    event.message.c_str(), cameraWaitN_[0].value);
            } else {
                LOGF_ERROR(
                    "Camera lost: %s. The driver reopens it by itself and stays connected; "
                    "exposures fail until it is back.",
                    event.message.c_str());
            }
            break;
        case WorkerEvent::Kind::ReopenFailed:
            if (const auto line = absence_.reopenFailed(event.attempt, event.message, now)) {
                LOGF_WARN("%s", line->c_str());
            }
            break;
        case WorkerEvent::Kind::CameraBack:
            LOGF_INFO("%s", absence_.back(event.attempt, now).c_str());
            break;
        default:
            break;
    }
}

bool Qm208xCcd::saveConfigItems(FILE *fp) {
    INDI::CCD::saveConfigItems(fp);
    // The module path is not saved: a configuration written by one installation
    // (or build tree) would otherwise point another at the wrong module.
    IUSaveConfigNumber(fp, &pixelSizeNP_);
    IUSaveConfigSwitch(fp, &modeSP_);
    IUSaveConfigNumber(fp, &cameraWaitNP_);
    return true;
}

#if QM_INDI_STDIN_RELAY
// Before libindi's main() starts reading standard input (stdin_relay.h).
[[maybe_unused]] static const bool inputRelayed = qmindi::relayStandardInput();
#endif
static std::unique_ptr<Qm208xCcd> camera(new Qm208xCcd());
