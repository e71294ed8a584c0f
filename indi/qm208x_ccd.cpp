#include "indi/qm208x_ccd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <libindi/eventloop.h>

#include "host/module_path.h"

namespace {

constexpr const char *kModulePathProperty = "QM_DRIVER_MODULE";
constexpr const char *kPixelSizeProperty = "QM_PIXEL_SIZE";
constexpr const char *kModeProperty = "QM_BINNING_MODE";
constexpr int kCountdownPeriodMs = 1000;
constexpr auto kConnectTimeout = std::chrono::seconds(60);

std::string initialModulePath() {
    const char *fromEnvironment = std::getenv("QM_DRIVER_MODULE");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    return defaultDriverModulePath();
}

// The value of element `name` in a client's partial update, else `current`.
double valueOr(const char *name, double current, const double values[], char *names[], int n) {
    for (int i = 0; i < n; ++i) {
        if (names[i] != nullptr && std::strcmp(names[i], name) == 0) {
            return values[i];
        }
    }
    return current;
}

std::string frameText(const SensorFrame &f) {
    return std::to_string(f.x) + "," + std::to_string(f.y) + " " + std::to_string(f.width) + "x" +
           std::to_string(f.height);
}

void putKey(fitsfile *file, const char *key, long value, const char *comment, int &status) {
    fits_update_key(file, TLONG, key, &value, comment, &status);
}

void putKey(fitsfile *file, const char *key, const std::string &value, const char *comment,
            int &status) {
    fits_update_key(file, TSTRING, key, const_cast<char *>(value.c_str()), comment, &status);
}

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

Qm208xCcd::Qm208xCcd() : modulePath_(initialModulePath()) {
    liveCamera = this;
    setVersion(1, 0);
    if (pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeCallback_ = addCallback(wakePipe_[0], &Qm208xCcd::onWorkerWake, this);
    }
    worker_ = std::make_unique<CameraWorker>(dynamicModuleLoader(), [this] { wake(); });
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
    PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0, kMaxExposureSeconds, 1,
                             false);
    PrimaryCCD.setMinMaxStep("CCD_BINNING", "HOR_BIN", 1, 4, 1, false);
    PrimaryCCD.setMinMaxStep("CCD_BINNING", "VER_BIN", 1, 4, 1, false);
    // The pattern follows the mode and the frame; clients read it, never set it.
    BayerTP.p = IP_RO;

    // Read-only: the module is chosen where the driver is started (the
    // environment), never by a client, since loading it runs its code.
    IUFillText(&modulePathT_[0], "PATH", "Path", modulePath_.c_str());
    IUFillTextVector(&modulePathTP_, modulePathT_, 1, getDeviceName(), kModulePathProperty,
                     "Driver module", CONNECTION_TAB, IP_RO, 60, IPS_IDLE);

    IUFillNumber(&pixelSizeN_[0], "PIXEL_SIZE", "Pixel size (um, 0 unknown)", "%.2f", 0, 100, 0.01,
                 0);
    IUFillNumberVector(&pixelSizeNP_, pixelSizeN_, 1, getDeviceName(), kPixelSizeProperty,
                       "Pixel size", IMAGE_INFO_TAB, IP_RW, 60, IPS_IDLE);

    for (size_t i = 0; i < kCameraModes.size(); ++i) {
        const std::string name = "MODE_" + std::to_string(i);
        IUFillSwitch(&modeS_[i], name.c_str(), name.c_str(), i == mode_ ? ISS_ON : ISS_OFF);
    }
    IUFillSwitchVector(&modeSP_, modeS_, kCameraModes.size(), getDeviceName(), kModeProperty,
                       "Binning mode", IMAGE_SETTINGS_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);

    addCaptureFormat({"INDI_RAW", "RAW 16", 16, true});
    // Fixed for the camera; set once, before any client sees the properties.
    SetCCDParams(kSensorColumns, kSensorRows, 16, 0, 0);
    PrimaryCCD.setBin(1, 1);
    PrimaryCCD.setFrame(frame_.x, frame_.y, frame_.width, frame_.height);

    // Images saved where the driver runs (UPLOAD_MODE Local or Both) go to
    // its user's home folder; libindi's empty default would mean the root.
    const char *home = std::getenv("HOME");
    IUSaveText(&UploadSettingsT[UPLOAD_DIR], home != nullptr && *home != '\0' ? home : "/tmp");

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
    }
    return true;
}

bool Qm208xCcd::Connect() {
    auto pending = worker_->connect(modulePath_);
    if (pending.wait_for(kConnectTimeout) != std::future_status::ready) {
        LOG_ERROR("The driver module did not answer within 60 s.");
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
    LOGF_INFO("%s connected through %s (%s).", outcome.driverInfo.c_str(), modulePath_.c_str(),
              driverName_.c_str());
    return true;
}

bool Qm208xCcd::Disconnect() {
    endStream("Live video stopped: the camera is disconnected.");
    if (exposure_) {
        LOG_WARN("Disconnected during an exposure: its frame is abandoned.");
        exposure_.reset();
        InExposure = false;
    }
    worker_->disconnect();
    return true;
}

bool Qm208xCcd::ISNewNumber(const char *dev, const char *name, double values[], char *names[],
                            int n) {
    if (!guard_.admitNumbers(dev, name, values, names, n)) {
        return false;
    }
    if (std::strcmp(name, "CCD_EXPOSURE") == 0) {
        const double seconds = valueOr("CCD_EXPOSURE_VALUE", NAN, values, names, n);
        requestExposure(seconds);
        return true;
    }
    if (std::strcmp(name, "CCD_FRAME") == 0) {
        applyFrame(valueOr("X", frame_.x, values, names, n), valueOr("Y", frame_.y, values, names, n),
                   valueOr("WIDTH", frame_.width, values, names, n),
                   valueOr("HEIGHT", frame_.height, values, names, n));
        return true;
    }
    if (std::strcmp(name, "CCD_BINNING") == 0) {
        const double factor = cameraMode().binFactor;
        const double horizontal = valueOr("HOR_BIN", factor, values, names, n);
        const double vertical = valueOr("VER_BIN", factor, values, names, n);
        if (frameLocked()) {
            refuse(name,
                   "Binning cannot change during an exposure or a recording: abort or stop it, or "
                   "wait for its image.");
            return true;
        }
        std::string error;
        const std::optional<uint32_t> mode = modeForBinning(horizontal, vertical, mode_, error);
        if (!mode) {
            refuse(name, error + ".");
            return true;
        }
        selectMode(*mode, Answer::Binning);
        return true;
    }
    if (std::strcmp(name, "CCD_STREAM_FRAME") == 0 &&
        !colourFilterFor(frame_, cameraMode()).pattern.empty()) {
        // The stream's crop keeps whole 2x2 colour cells, so its frames (and a
        // recording's pattern) stay those of the image.
        std::vector<double> even(values, values + n);
        for (double &value : even) {
            value = std::floor(value / 2) * 2;
        }
        return INDI::CCD::ISNewNumber(dev, name, even.data(), names, n);
    }
    if (std::strcmp(name, kPixelSizeProperty) == 0) {
        const double size = valueOr("PIXEL_SIZE", pixelSizeN_[0].value, values, names, n);
        if (!std::isfinite(size) || size < 0 || size > pixelSizeN_[0].max) {
            pixelSizeNP_.s = IPS_ALERT;
            IDSetNumber(&pixelSizeNP_, "Pixel size %g um refused: from 0 (unknown) to %g um.",
                        size, pixelSizeN_[0].max);
            return true;
        }
        pixelSizeN_[0].value = size;
        pixelSizeNP_.s = IPS_OK;
        IDSetNumber(&pixelSizeNP_, nullptr);
        PrimaryCCD.setPixelSize(size, size);
        saveConfig(true, kPixelSizeProperty);
        return true;
    }
    return INDI::CCD::ISNewNumber(dev, name, values, names, n);
}

bool Qm208xCcd::ISNewSwitch(const char *dev, const char *name, ISState *states, char *names[],
                            int n) {
    if (!guard_.admitSwitches(dev, name, states, names, n)) {
        return false;
    }
    if (std::strcmp(name, kModeProperty) == 0) {
        const char *chosen = IUFindOnSwitchName(states, names, n);
        int mode = -1;
        for (size_t i = 0; chosen != nullptr && i < kCameraModes.size(); ++i) {
            if (std::strcmp(chosen, modeS_[i].name) == 0) {
                mode = static_cast<int>(i);
            }
        }
        if (mode < 0) {
            modeSP_.s = IPS_ALERT;
            IDSetSwitch(&modeSP_, "No binning mode chosen: one of MODE_0 to MODE_4 must be On.");
        } else if (frameLocked()) {
            modeSP_.s = IPS_ALERT;
            IDSetSwitch(&modeSP_,
                        "The binning mode cannot change during an exposure or a recording: "
                        "abort or stop it, or wait for its image.");
        } else {
            selectMode(static_cast<uint32_t>(mode), Answer::Mode);
        }
        return true;
    }
    return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool Qm208xCcd::ISNewText(const char *dev, const char *name, char *texts[], char *names[], int n) {
    if (dev != nullptr && name != nullptr && std::strcmp(dev, getDeviceName()) == 0 &&
        std::strcmp(name, BayerTP.name) == 0) {
        // Read-only: only a saved configuration sends it. The true pattern stands.
        publishColourFilter();
        return true;
    }
    if (!guard_.admitTexts(dev, name, texts, names, n)) {
        return false;
    }
    for (const FileDestination &destination : kFileDestinations) {
        if (std::strcmp(name, destination.property) == 0 &&
            !admitFileDestination(destination, texts, names, n)) {
            return true;
        }
    }
    return INDI::CCD::ISNewText(dev, name, texts, names, n);
}

bool Qm208xCcd::ISNewBLOB(const char *dev, const char *name, int sizes[], int blobsizes[],
                          char *blobs[], char *formats[], char *names[], int n) {
    if (!guard_.admitBlobs(dev, name, sizes, blobsizes, blobs, formats, names, n)) {
        return false;
    }
    return INDI::CCD::ISNewBLOB(dev, name, sizes, blobsizes, blobs, formats, names, n);
}

bool Qm208xCcd::admitFileDestination(const FileDestination &destination, char *texts[],
                                     char *names[], int n) {
    INDI::PropertyText property = getText(destination.property);
    if (!property.isValid()) {
        return false;
    }
    // Nothing a client sends chooses where a file is written: the folder is
    // the driver's own; a name is one plain file name in it.
    const INDI::WidgetView<IText> *folderElement = property.findWidgetByName(destination.folder);
    const std::string folder = folderElement != nullptr ? folderElement->getText() : "";
    const auto plainName = [](const char *text) {
        const size_t length = std::strlen(text);
        if (length == 0 || length > 120 || text[0] == '.') {
            return false;
        }
        return std::all_of(text, text + length, [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' ||
                   c == '_' || c == '@';
        });
    };
    for (int i = 0; i < n; ++i) {
        const bool allowed = std::strcmp(names[i], destination.folder) == 0
                                 ? folder == texts[i]
                                 : plainName(texts[i]);
        if (!allowed) {
            refuse(destination.property,
                   std::string("Refused: ") + destination.what + " written to " + folder +
                       ", set where the driver runs, not by a client; a file name may hold "
                       "letters, digits and . - _ @ only.");
            return false;
        }
    }
    return true;
}

void Qm208xCcd::refuse(const char *property, const std::string &message) {
    INDI::Property found = getProperty(property);
    if (!found.isValid()) {
        LOG_ERROR(message.c_str());
        return;
    }
    found.setState(IPS_ALERT);
    found.apply("%s", message.c_str());
}

bool Qm208xCcd::StartExposure(float duration) {
    if (std::this_thread::get_id() != loopThread_) {
        // The base class starts the next frame of a fast sequence from its
        // upload thread; this class's state belongs to the event loop.
        fastExposureSeconds_ = duration;
        wake();
        return true;
    }
    return requestExposure(duration);
}

bool Qm208xCcd::requestExposure(double seconds) {
    char text[200];
    if (!isConnected()) {
        refuse("CCD_EXPOSURE", "Exposure refused: the camera is not connected.");
        return false;
    }
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaxExposureSeconds) {
        std::snprintf(text, sizeof text,
                      "Exposure of %g s refused: exposures last from 0 to %g s.", seconds,
                      kMaxExposureSeconds);
        refuse("CCD_EXPOSURE", text);
        return false;
    }
    if (exposure_) {
        refuse("CCD_EXPOSURE",
               "Exposure refused: one is already running; abort it or wait for its image.");
        return false;
    }
    if (stream_) {
        refuse("CCD_EXPOSURE", "Exposure refused: live video is running; stop it first.");
        return false;
    }
    // The client has the previous image, or has given up on it.
    uploading_ = false;
    if (PrimaryCCD.getFrameType() == INDI::CCDChip::BIAS_FRAME) {
        seconds = 0;
    }
    const CameraMode &mode = cameraMode();
    const ExposureRequest request{.id = ++nextExposureId_,
                                  .lengthMs = static_cast<int32_t>(std::llround(seconds * 1000)),
                                  .mode = mode_,
                                  .window = driverWindowFor(frame_, mode),
                                  .geometry = geometryOf(mode)};
    exposure_ = Exposure{.id = request.id,
                         .seconds = seconds,
                         .mode = mode_,
                         .frame = frame_,
                         .started = false,
                         .startedAt = {}};
    InExposure = true;
    ExposureTime = seconds;
    PrimaryCCD.setExposureDuration(seconds);
    PrimaryCCD.setExposureLeft(seconds);
    worker_->expose(request);
    armCountdown();
    return true;
}

bool Qm208xCcd::AbortExposure() {
    // An abort stops live video too: a client aborting wants the camera free.
    endStream("Live video stopped by the abort.");
    if (exposure_) {
        exposure_.reset();
        InExposure = false;
        LOG_INFO("Exposure aborted. The camera cannot stop a frame: it is finished out of sight "
                 "and discarded, and a new exposure starts once the camera is free.");
    }
    worker_->abort();
    return true;
}

bool Qm208xCcd::applyFrame(double x, double y, double width, double height) {
    if (frameLocked()) {
        refuse("CCD_FRAME", "The frame cannot change during an exposure or a recording: abort or "
                            "stop it, or wait for its image.");
        return false;
    }
    std::string error;
    if (!checkFrameRequest(x, y, width, height, error)) {
        refuse("CCD_FRAME", "Frame refused: " + error + ".");
        return false;
    }
    // Whole pixels: the origin rounds down, the far edges up.
    const auto left = static_cast<int32_t>(std::floor(x));
    const auto top = static_cast<int32_t>(std::floor(y));
    const SensorFrame asked{left, top, static_cast<int32_t>(std::ceil(x + width)) - left,
                            static_cast<int32_t>(std::ceil(y + height)) - top};
    frame_ = roundedFrame(asked, cameraMode());
    // The colour pattern follows the frame; the frame's answer comes last.
    publishColourFilter();
    INDI::PropertyNumber property = getNumber("CCD_FRAME");
    if (property.isValid()) {
        property.setState(IPS_OK);
    }
    PrimaryCCD.setFrame(frame_.x, frame_.y, frame_.width, frame_.height);
    if (!(frame_ == asked)) {
        LOGF_INFO("Frame rounded to %s: mode %u takes multiples of %d sensor pixels.",
                  frameText(frame_).c_str(), mode_, frameStep(cameraMode()));
    }
    restartStream();
    return true;
}

bool Qm208xCcd::UpdateCCDFrame(int x, int y, int w, int h) { return applyFrame(x, y, w, h); }

bool Qm208xCcd::UpdateCCDBin(int hor, int ver) {
    std::string error;
    const std::optional<uint32_t> mode = modeForBinning(hor, ver, mode_, error);
    if (!mode || frameLocked()) {
        LOG_ERROR(mode ? "Binning cannot change during an exposure or a recording." : error.c_str());
        return false;
    }
    selectMode(*mode, Answer::Binning);
    return true;
}

void Qm208xCcd::selectMode(uint32_t mode, Answer last) {
    mode_ = mode;
    for (size_t i = 0; i < kCameraModes.size(); ++i) {
        modeS_[i].s = i == mode ? ISS_ON : ISS_OFF;
    }
    modeSP_.s = IPS_OK;
    const auto announceMode = [this] { IDSetSwitch(&modeSP_, nullptr); };
    const auto announceBinning = [this] {
        INDI::PropertyNumber binning = getNumber("CCD_BINNING");
        if (binning.isValid()) {
            binning.setState(IPS_OK);
        }
        const int factor = cameraMode().binFactor;
        PrimaryCCD.setBin(factor, factor);
    };
    // The answer to the property the client set comes last, after everything
    // that follows from it.
    if (last == Answer::Mode) {
        announceBinning();
    } else {
        announceMode();
    }

    // The frame stays where it was, on the new mode's step.
    const SensorFrame before = frame_;
    frame_ = roundedFrame(frame_, cameraMode());
    INDI::PropertyNumber frame = getNumber("CCD_FRAME");
    if (frame.isValid()) {
        frame.setState(IPS_OK);
    }
    PrimaryCCD.setFrame(frame_.x, frame_.y, frame_.width, frame_.height);
    if (!(frame_ == before)) {
        LOGF_INFO("Frame rounded to %s for mode %u (multiples of %d sensor pixels).",
                  frameText(frame_).c_str(), mode_, frameStep(cameraMode()));
    }
    publishColourFilter();

    if (last == Answer::Mode) {
        announceMode();
    } else {
        announceBinning();
    }
    restartStream();
}

bool Qm208xCcd::updateColourFilter() {
    const ColourFilter filter = colourFilterFor(frame_, cameraMode());
    if (filter.pattern.empty()) {
        SetCCDCapability(GetCCDCapability() & ~CCD_HAS_BAYER);
        return false;
    }
    SetCCDCapability(GetCCDCapability() | CCD_HAS_BAYER);
    IUSaveText(&BayerT[0], std::to_string(filter.offsetX).c_str());
    IUSaveText(&BayerT[1], std::to_string(filter.offsetY).c_str());
    IUSaveText(&BayerT[2], filter.pattern.c_str());
    BayerTP.s = IPS_OK;
    return true;
}

void Qm208xCcd::publishColourFilter() {
    if (!updateColourFilter()) {
        if (colourFilterDefined_) {
            deleteProperty(BayerTP.name);
            colourFilterDefined_ = false;
        }
        return;
    }
    if (!colourFilterDefined_ && isConnected()) {
        defineProperty(&BayerTP);
        colourFilterDefined_ = true;
    } else {
        IDSetText(&BayerTP, nullptr);
    }
}

void Qm208xCcd::armCountdown() {
    if (countdownTimer_ < 0) {
        countdownTimer_ = SetTimer(kCountdownPeriodMs);
    }
}

void Qm208xCcd::TimerHit() {
    countdownTimer_ = -1;
    if (!exposure_) {
        return;
    }
    if (exposure_->started) {
        PrimaryCCD.setExposureLeft(secondsLeft());
    }
    armCountdown();
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
        if (isStreamFrame(event.id)) {
            if (event.kind == WorkerEvent::Kind::FrameReady) {
                --stream_->inFlight;
                onStreamFrame(event.image);
                requestStreamFrames();
            } else if (event.kind == WorkerEvent::Kind::ExposureFailed) {
                endStream(("Live video stopped: " + event.message + ".").c_str());
            }
            continue;
        }
        switch (event.kind) {
        case WorkerEvent::Kind::ExposureStarted: onExposureStarted(event.id); break;
        case WorkerEvent::Kind::FrameReady: onFrameReady(event.id, event.image); break;
        case WorkerEvent::Kind::ExposureFailed: onExposureFailed(event.id, event.message); break;
        case WorkerEvent::Kind::FrameDiscarded:
            LOG_DEBUG("The aborted exposure's frame arrived and was discarded.");
            break;
        case WorkerEvent::Kind::Disconnected: LOG_DEBUG("Camera closed, module unloaded."); break;
        }
    }
}

void Qm208xCcd::onExposureStarted(uint64_t id) {
    if (!exposure_ || exposure_->id != id) {
        return;
    }
    exposure_->started = true;
    exposure_->startedAt = std::chrono::steady_clock::now();
    // DATE-OBS: the start of the exposure the camera took, not of the request.
    PrimaryCCD.setExposureDuration(exposure_->seconds);
    PrimaryCCD.setExposureLeft(exposure_->seconds);
}

void Qm208xCcd::onFrameReady(uint64_t id, std::vector<uint16_t> &image) {
    if (!exposure_ || exposure_->id != id) {
        return;
    }
    const Exposure done = *exposure_;
    exposure_.reset();
    InExposure = false;
    const size_t bytes = image.size() * sizeof(uint16_t);
    {
        // Waits for the previous image's upload, which reads the buffer.
        std::lock_guard<std::mutex> guard(ccdBufferLock);
        // A new buffer for every frame: one sent as it is (the native transfer
        // format) is shared with indiserver, and libindi seals it read-only.
        IDSharedBlobFree(PrimaryCCD.getFrameBuffer());
        PrimaryCCD.setFrameBuffer(static_cast<uint8_t *>(IDSharedBlobAlloc(bytes)));
        PrimaryCCD.setFrameBufferSize(PrimaryCCD.getFrameBuffer() != nullptr
                                          ? static_cast<uint32_t>(bytes)
                                          : 0,
                                      false);
        if (PrimaryCCD.getFrameBuffer() == nullptr) {
            refuse("CCD_EXPOSURE", "Exposure failed: no memory for its image.");
            return;
        }
        std::memcpy(PrimaryCCD.getFrameBuffer(), image.data(), bytes);
        delivery_ = Delivery{.mode = done.mode, .frame = done.frame};
    }
    // The base class encodes and sends the image on a thread of its own.
    uploading_ = true;
    ExposureComplete(&PrimaryCCD);
}

void Qm208xCcd::UploadComplete(INDI::CCDChip *) {
    uploadFinished_ = true;
    wake();
}

void Qm208xCcd::onUploadFinished() {
    uploading_ = false;
    // The base class has just reported the sent image's exposure done; one
    // requested meanwhile is still running.
    if (exposure_) {
        PrimaryCCD.setExposureLeft(secondsLeft());
    }
}

double Qm208xCcd::secondsLeft() const {
    if (!exposure_->started) {
        return exposure_->seconds;
    }
    const auto elapsed = std::chrono::steady_clock::now() - exposure_->startedAt;
    return std::max(0.0, exposure_->seconds - std::chrono::duration<double>(elapsed).count());
}

void Qm208xCcd::onExposureFailed(uint64_t id, const std::string &message) {
    if (!exposure_ || exposure_->id != id) {
        return;
    }
    exposure_.reset();
    InExposure = false;
    refuse("CCD_EXPOSURE", "Exposure failed: " + message + ".");
}

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
    if (exposure_) {
        LOG_ERROR("Live video cannot start during an exposure: abort it or wait for its image.");
        return false;
    }
    stream_ = LiveStream{};
    restartStream();
    LOGF_INFO("Live video in mode %u, frame %s.", mode_, frameText(frame_).c_str());
    return true;
}

void Qm208xCcd::describeStream() {
    const CameraMode &mode = cameraMode();
    const PixelWindow window = driverWindowFor(frame_, mode);
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
    const std::string pattern = colourFilterFor(frame_, mode).pattern;
    for (const auto &[name, bayer] : kFormats) {
        if (pattern == name) {
            format = bayer;
        }
    }
    Streamer->setPixelFormat(format, 16);
    // Only a new size is set: setting one resets CCD_STREAM_FRAME, a client's
    // crop of the stream, which must survive starting and stopping.
    if (window.width != describedWidth_ || window.height != describedHeight_) {
        describedWidth_ = window.width;
        describedHeight_ = window.height;
        Streamer->setSize(static_cast<uint16_t>(window.width),
                          static_cast<uint16_t>(window.height));
    }
}

void Qm208xCcd::restartStream() {
    describeStream();
    if (!stream_) {
        return;
    }
    // Frames requested for the previous mode or frame are dropped.
    worker_->abort();
    const PixelWindow window = driverWindowFor(frame_, cameraMode());
    stream_->firstId = nextExposureId_ + 1;
    stream_->imageWidth = window.width;
    stream_->imageHeight = window.height;
    stream_->inFlight = 0;
    requestStreamFrames();
}

void Qm208xCcd::requestStreamFrames() {
    // Two requests in the worker's queue: when one frame is read out the next
    // exposure starts at once, while this loop hands the frame on.
    constexpr int kFramesAhead = 2;
    const CameraMode &mode = cameraMode();
    while (stream_ && stream_->inFlight < kFramesAhead) {
        const double seconds = Streamer->getTargetExposure();
        worker_->expose({.id = ++nextExposureId_,
                         .lengthMs = static_cast<int32_t>(std::llround(seconds * 1000)),
                         .mode = mode_,
                         .window = driverWindowFor(frame_, mode),
                         .geometry = geometryOf(mode)});
        ++stream_->inFlight;
    }
}

void Qm208xCcd::onStreamFrame(std::vector<uint16_t> &image) {
    if (image.size() != static_cast<size_t>(stream_->imageWidth) * stream_->imageHeight) {
        return;
    }
    Streamer->newFrame(reinterpret_cast<const uint8_t *>(image.data()),
                       static_cast<uint32_t>(image.size() * sizeof(uint16_t)));
}

void Qm208xCcd::endStream(const char *why) {
    if (!stream_ && !Streamer->isBusy()) {
        return;
    }
    LOG_INFO(why);
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

void Qm208xCcd::addFITSKeywords(INDI::CCDChip *chip) {
    INDI::CCD::addFITSKeywords(chip);
    fitsfile *file = *chip->fitsFilePointer();
    if (file == nullptr) {
        return;
    }
    const CameraMode &mode = kCameraModes[delivery_.mode];
    const SensorFrame &frame = delivery_.frame;
    int status = 0;
    putKey(file, "ROWORDER", std::string("TOP-DOWN"), "first stored row is the image's top row",
           status);
    putKey(file, "DRIVER", driverName_, "camera driver module", status);
    putKey(file, "READOUTM", modeNames_.at(delivery_.mode), "binning mode", status);
    putKey(file, "BINMODE", static_cast<long>(delivery_.mode), "binning mode number", status);
    putKey(file, "XORGSUBF", static_cast<long>(frame.x / mode.binFactor),
           "frame origin, binned columns from the left", status);
    putKey(file, "YORGSUBF", static_cast<long>(frame.y / mode.binFactor),
           "frame origin, binned rows from the top", status);
    if (pixelSizeN_[0].value <= 0) {
        // An unknown pixel size is no size at all, not 0 um.
        for (const char *key : {"PIXSIZE1", "PIXSIZE2", "XPIXSZ", "YPIXSZ", "SCALE"}) {
            int ignored = 0;
            fits_delete_key(file, key, &ignored);
        }
    }
    if (status != 0) {
        char text[FLEN_STATUS];
        fits_get_errstatus(status, text);
        LOGF_ERROR("FITS keywords: %s", text);
    }
}

bool Qm208xCcd::saveConfigItems(FILE *fp) {
    INDI::CCD::saveConfigItems(fp);
    // The module path is not saved: a configuration written by one installation
    // (or build tree) would otherwise point another at the wrong module.
    IUSaveConfigNumber(fp, &pixelSizeNP_);
    IUSaveConfigSwitch(fp, &modeSP_);
    return true;
}

static std::unique_ptr<Qm208xCcd> camera(new Qm208xCcd());
