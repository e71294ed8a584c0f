#include "alpaca/camera_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace alpaca {

namespace {

constexpr char kDeviceName[] = "QM-208X VESK";
// ASCOM clients show at most 68 characters of Description.
constexpr char kDescription[] = "Vantrel QM-208X VESK one-shot colour CCD camera";
constexpr char kDriverInfo[] =
    "qm-alpaca: ASCOM Alpaca server for the Vantrel QM-208X VESK through its driver D_QM208X";
constexpr char kDriverVersion[] = "1.0";
constexpr int32_t kSensorTypeRggb = 2;
constexpr int32_t kMaxAdu = 65535;
constexpr auto kConnectWait = std::chrono::seconds(60);

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A required PUT field; a missing or unreadable one makes the request malformed.
template <typename T, typename Parse>
bool requiredField(const Fields &fields, const char *name, Parse parse, T &value, MemberResult &bad,
                   const char *what) {
    const std::string *text = fields.find(name);
    if (text == nullptr) {
        bad = MemberResult::malformed("missing parameter " + std::string(name));
        return false;
    }
    if (!parse(*text, value)) {
        bad = MemberResult::malformed("parameter " + std::string(name) + " '" + *text +
                                      "' is not " + what);
        return false;
    }
    return true;
}

bool intField(const Fields &fields, const char *name, int32_t &value, MemberResult &bad) {
    return requiredField(fields, name, parseInt32, value, bad, "a whole number");
}
bool doubleField(const Fields &fields, const char *name, double &value, MemberResult &bad) {
    return requiredField(fields, name, parseFiniteDouble, value, bad, "a number");
}
bool boolField(const Fields &fields, const char *name, bool &value, MemberResult &bad) {
    return requiredField(fields, name, parseBool, value, bad, "true or false");
}
bool textField(const Fields &fields, const char *name, MemberResult &bad) {
    std::string unused;
    return requiredField(
        fields, name, [](const std::string &text, std::string &out) { return out = text, true; },
        unused, bad, "text");
}

MemberResult intValue(int64_t value) { return MemberResult::value(std::to_string(value)); }

MemberResult notImplementedResult(const std::string &what) {
    return MemberResult::fail(ErrorCode::NotImplemented, what + " is not available on this camera");
}

}  // namespace

std::string formatAscomTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto milliseconds = time_point_cast<std::chrono::milliseconds>(time);
    const auto day = floor<days>(milliseconds);
    const year_month_day date(day);
    const hh_mm_ss clock(milliseconds - day);
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

CameraDevice::CameraDevice(ModuleLoader loader, std::string modulePath,
                           std::optional<double> pixelSizeMicrons, Log log,
                           std::chrono::milliseconds readoutMargin)
    : modulePath_(std::move(modulePath)),
      log_(std::move(log)),
      pixelSizeMicrons_(pixelSizeMicrons) {
    worker_ = std::make_unique<CameraWorker>(
        std::move(loader), [this] { onWorkerEvents(); }, readoutMargin);
    reportingWorker_ = worker_.get();
}

CameraDevice::~CameraDevice() { worker_.reset(); }

const std::map<std::string, CameraDevice::Member> &CameraDevice::members() {
    using D = CameraDevice;
    using K = Kind;
    const std::vector<Parameter> kCommand = {{"Command", K::Text}, {"Raw", K::Bool}};
    static const std::map<std::string, Member> table = {
        // Common members: answered whether or not this client is connected.
        {"connected", {&D::getConnected, &D::putConnected, false, {{"Connected", K::Bool}}}},
        {"connecting", {&D::getConnecting, nullptr, false}},
        {"connect", {nullptr, &D::putConnect, false}},
        {"disconnect", {nullptr, &D::putDisconnect, false}},
        {"description", {&D::getDescription, nullptr, false}},
        {"driverinfo", {&D::getDriverInfo, nullptr, false}},
        {"driverversion", {&D::getDriverVersion, nullptr, false}},
        {"interfaceversion", {&D::getInterfaceVersion, nullptr, false}},
        {"name", {&D::getName, nullptr, false}},
        {"supportedactions", {&D::getSupportedActions, nullptr, false}},
        {"action", {nullptr, &D::putAction, false, {{"Action", K::Text}, {"Parameters", K::Text}}}},
        {"commandblind", {nullptr, &D::putCommand, false, kCommand}},
        {"commandbool", {nullptr, &D::putCommand, false, kCommand}},
        {"commandstring", {nullptr, &D::putCommand, false, kCommand}},
        {"devicestate", {&D::getDeviceState, nullptr}},
        // The camera.
        {"bayeroffsetx", {&D::getBayerOffsetX, nullptr}},
        {"bayeroffsety", {&D::getBayerOffsetY, nullptr}},
        {"binx", {&D::getBin, &D::putBinX, true, {{"BinX", K::Int}}}},
        {"biny", {&D::getBin, &D::putBinY, true, {{"BinY", K::Int}}}},
        {"camerastate", {&D::getCameraState, nullptr}},
        {"cameraxsize", {&D::getCameraXSize, nullptr}},
        {"cameraysize", {&D::getCameraYSize, nullptr}},
        {"canabortexposure", {&D::getTrue, nullptr}},
        {"canasymmetricbin", {&D::getFalse, nullptr}},
        {"canfastreadout", {&D::getFalse, nullptr}},
        {"cangetcoolerpower", {&D::getFalse, nullptr}},
        {"canpulseguide", {&D::getFalse, nullptr}},
        {"cansetccdtemperature", {&D::getFalse, nullptr}},
        {"canstopexposure", {&D::getFalse, nullptr}},
        {"ccdtemperature", {&D::notImplemented, nullptr}},
        {"cooleron", {&D::notImplemented, &D::putCoolerOn, true, {{"CoolerOn", K::Bool}}}},
        {"coolerpower", {&D::notImplemented, nullptr}},
        {"electronsperadu", {&D::notImplemented, nullptr}},
        {"exposuremax", {&D::getExposureMax, nullptr}},
        {"exposuremin", {&D::getExposureMin, nullptr}},
        {"exposureresolution", {&D::getExposureResolution, nullptr}},
        {"fastreadout", {&D::notImplemented, &D::putFastReadout, true, {{"FastReadout", K::Bool}}}},
        {"fullwellcapacity", {&D::notImplemented, nullptr}},
        {"gain", {&D::notImplemented, &D::putGain, true, {{"Gain", K::Int}}}},
        {"gainmax", {&D::notImplemented, nullptr}},
        {"gainmin", {&D::notImplemented, nullptr}},
        {"gains", {&D::notImplemented, nullptr}},
        {"hasshutter", {&D::getFalse, nullptr}},
        {"heatsinktemperature", {&D::notImplemented, nullptr}},
        {"imageready", {&D::getImageReady, nullptr}},
        {"ispulseguiding", {&D::notImplemented, nullptr}},
        {"lastexposureduration", {&D::getLastExposureDuration, nullptr}},
        {"lastexposurestarttime", {&D::getLastExposureStartTime, nullptr}},
        {"maxadu", {&D::getMaxAdu, nullptr}},
        {"maxbinx", {&D::getMaxBin, nullptr}},
        {"maxbiny", {&D::getMaxBin, nullptr}},
        {"numx", {&D::getNumX, &D::putNumX, true, {{"NumX", K::Int}}}},
        {"numy", {&D::getNumY, &D::putNumY, true, {{"NumY", K::Int}}}},
        {"offset", {&D::notImplemented, &D::putOffset, true, {{"Offset", K::Int}}}},
        {"offsetmax", {&D::notImplemented, nullptr}},
        {"offsetmin", {&D::notImplemented, nullptr}},
        {"offsets", {&D::notImplemented, nullptr}},
        {"percentcompleted", {&D::getPercentCompleted, nullptr}},
        {"pixelsizex", {&D::getPixelSize, nullptr}},
        {"pixelsizey", {&D::getPixelSize, nullptr}},
        {"readoutmode", {&D::getReadoutMode, &D::putReadoutMode, true, {{"ReadoutMode", K::Int}}}},
        {"readoutmodes", {&D::getReadoutModes, nullptr}},
        {"sensorname", {&D::getSensorName, nullptr}},
        {"sensortype", {&D::getSensorType, nullptr}},
        {"setccdtemperature",
         {&D::notImplemented, &D::putSetCcdTemperature, true, {{"SetCCDTemperature", K::Number}}}},
        {"startx", {&D::getStartX, &D::putStartX, true, {{"StartX", K::Int}}}},
        {"starty", {&D::getStartY, &D::putStartY, true, {{"StartY", K::Int}}}},
        {"subexposureduration",
         {&D::notImplemented,
          &D::putSubExposureDuration,
          true,
          {{"SubExposureDuration", K::Number}}}},
        {"abortexposure", {nullptr, &D::putAbortExposure}},
        {"pulseguide",
         {nullptr, &D::putPulseGuide, true, {{"Direction", K::Int}, {"Duration", K::Int}}}},
        {"startexposure",
         {nullptr, &D::putStartExposure, true, {{"Duration", K::Number}, {"Light", K::Bool}}}},
        {"stopexposure", {nullptr, &D::notImplemented}},
    };
    return table;
}

bool CameraDevice::hasMember(const std::string &member) {
    return members().count(member) != 0 || member == "imagearray" || member == "imagearrayvariant";
}

MemberResult CameraDevice::call(const std::string &member, bool put, const Fields &fields,
                                uint32_t clientId) {
    const auto found = members().find(member);
    if (found == members().end()) {
        return MemberResult::malformed("camera has no member " + member);
    }
    const Handler handler = put ? found->second.put : found->second.get;
    if (handler == nullptr) {
        return MemberResult::malformed(
            member + (put ? " cannot be set (GET only)" : " is a method (PUT only)"));
    }
    MemberResult bad;
    if (put && !checkParameters(found->second.putParameters, fields, bad)) {
        return bad;
    }
    std::lock_guard lock(mutex_);
    settleConnection();
    if (found->second.needsConnection && !clientConnected(clientId)) {
        return MemberResult::fail(
            ErrorCode::NotConnected,
            "the camera is not connected for this client: set Connected or call Connect first");
    }
    return (this->*handler)({fields, clientId});
}

bool CameraDevice::checkParameters(const std::vector<Parameter> &parameters, const Fields &fields,
                                   MemberResult &bad) {
    for (const Parameter &parameter : parameters) {
        bool flag = false;
        int32_t whole = 0;
        double real = 0;
        const bool ok = parameter.kind == Kind::Bool  ? boolField(fields, parameter.name, flag, bad)
                        : parameter.kind == Kind::Int ? intField(fields, parameter.name, whole, bad)
                        : parameter.kind == Kind::Number
                            ? doubleField(fields, parameter.name, real, bad)
                            : textField(fields, parameter.name, bad);
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Connection.

void CameraDevice::settleConnection() {
    if (!pendingConnect_.valid() ||
        pendingConnect_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return;
    }
    ConnectOutcome outcome = pendingConnect_.get();
    pendingConnect_ = {};
    if (!outcome.connected) {
        for (uint32_t client : joining_) {
            connectFailures_[client] = outcome.error;
        }
        joining_.clear();
        log_("camera not connected: " + outcome.error);
        return;
    }
    if (joining_.empty()) {
        // Every client that asked has left meanwhile.
        worker_->disconnect();
        return;
    }
    open_ = true;
    clients_ = std::move(joining_);
    joining_.clear();
    opened_ = std::move(outcome);
    log_("camera connected (" + opened_.driverName + ", " + opened_.driverInfo + "), " +
         std::to_string(clients_.size()) + " client(s)");
}

bool CameraDevice::clientConnected(uint32_t clientId) const {
    return open_ && clients_.count(clientId) != 0;
}

void CameraDevice::startConnecting(uint32_t clientId) {
    connectFailures_.erase(clientId);
    if (open_) {
        if (clients_.insert(clientId).second) {
            log_("client " + std::to_string(clientId) + " connected, " +
                 std::to_string(clients_.size()) + " client(s)");
        }
        return;
    }
    joining_.insert(clientId);
    if (!pendingConnect_.valid()) {
        log_("client " + std::to_string(clientId) + " connecting: opening the camera through " +
             modulePath_);
        pendingConnect_ = worker_->connect(modulePath_).share();
    }
}

void CameraDevice::leave(uint32_t clientId) {
    joining_.erase(clientId);
    if (clients_.erase(clientId) == 0) {
        return;
    }
    log_("client " + std::to_string(clientId) + " disconnected, " +
         std::to_string(clients_.size()) + " client(s) left");
    if (!clients_.empty() || !open_) {
        return;
    }
    // The last client left: an exposure in progress is abandoned with the camera.
    worker_->disconnect();
    open_ = false;
    phase_ = CameraState::Idle;
    currentId_ = 0;
    image_.reset();
    log_("camera closed");
}

MemberResult CameraDevice::getConnected(const Call &call) {
    return MemberResult::value(jsonBool(clientConnected(call.clientId)));
}

MemberResult CameraDevice::putConnected(const Call &call) {
    bool connect = false;
    MemberResult bad;
    if (!boolField(call.fields, "Connected", connect, bad)) {
        return bad;
    }
    if (!connect) {
        leave(call.clientId);
        return MemberResult::done();
    }
    startConnecting(call.clientId);
    if (clientConnected(call.clientId)) {
        return MemberResult::done();
    }
    // Connected=true is synchronous in ASCOM: wait for the camera to open,
    // without holding the lock, so other clients go on being served.
    std::shared_future<ConnectOutcome> pending = pendingConnect_;
    mutex_.unlock();
    const bool settled = pending.wait_for(kConnectWait) == std::future_status::ready;
    mutex_.lock();
    settleConnection();
    if (clientConnected(call.clientId)) {
        return MemberResult::done();
    }
    if (!settled) {
        return MemberResult::fail(ErrorCode::CameraFailure, "the camera did not open within 60 s");
    }
    auto failure = connectFailures_.find(call.clientId);
    const std::string why =
        failure != connectFailures_.end() ? failure->second : "disconnected meanwhile";
    connectFailures_.erase(call.clientId);
    return MemberResult::fail(ErrorCode::CameraFailure, "cannot connect the camera: " + why);
}

MemberResult CameraDevice::getConnecting(const Call &call) {
    auto failure = connectFailures_.find(call.clientId);
    if (failure != connectFailures_.end()) {
        const std::string why = failure->second;
        connectFailures_.erase(failure);
        return MemberResult::fail(ErrorCode::CameraFailure, "cannot connect the camera: " + why);
    }
    return MemberResult::value(jsonBool(joining_.count(call.clientId) != 0));
}

MemberResult CameraDevice::putConnect(const Call &call) {
    startConnecting(call.clientId);
    return MemberResult::done();
}

MemberResult CameraDevice::putDisconnect(const Call &call) {
    leave(call.clientId);
    return MemberResult::done();
}

// Identity and the other common members.

MemberResult CameraDevice::getDescription(const Call &) {
    return MemberResult::value(jsonString(kDescription));
}
MemberResult CameraDevice::getDriverInfo(const Call &) {
    return MemberResult::value(jsonString(kDriverInfo));
}
MemberResult CameraDevice::getDriverVersion(const Call &) {
    return MemberResult::value(jsonString(kDriverVersion));
}
MemberResult CameraDevice::getInterfaceVersion(const Call &) { return intValue(kInterfaceVersion); }
MemberResult CameraDevice::getName(const Call &) {
    return MemberResult::value(jsonString(kDeviceName));
}
MemberResult CameraDevice::getSupportedActions(const Call &) { return MemberResult::value("[]"); }

MemberResult CameraDevice::putAction(const Call &call) {
    MemberResult bad;
    if (!textField(call.fields, "Action", bad) || !textField(call.fields, "Parameters", bad)) {
        return bad;
    }
    return MemberResult::fail(ErrorCode::ActionNotImplemented, "this camera has no actions");
}

MemberResult CameraDevice::putCommand(const Call &call) {
    MemberResult bad;
    if (!textField(call.fields, "Command", bad) || !textField(call.fields, "Raw", bad)) {
        return bad;
    }
    return notImplementedResult("sending raw commands");
}

MemberResult CameraDevice::getDeviceState(const Call &) {
    std::string value = "[{\"Name\":\"CameraState\",\"Value\":" +
                        std::to_string(static_cast<int32_t>(currentState())) +
                        "},{\"Name\":\"ImageReady\",\"Value\":" + jsonBool(image_ != nullptr) + "}";
    if (const auto percent = percentCompleted()) {
        value += ",{\"Name\":\"PercentCompleted\",\"Value\":" + std::to_string(*percent) + "}";
    }
    value += ",{\"Name\":\"TimeStamp\",\"Value\":\"" +
             formatAscomTime(std::chrono::system_clock::now()) + "\"}]";
    return MemberResult::value(std::move(value));
}

// Fixed facts of the camera.

MemberResult CameraDevice::getBayerOffsetX(const Call &) { return intValue(sensorBayerOffset().x); }
MemberResult CameraDevice::getBayerOffsetY(const Call &) { return intValue(sensorBayerOffset().y); }
MemberResult CameraDevice::getCameraXSize(const Call &) { return intValue(kSensorColumns); }
MemberResult CameraDevice::getCameraYSize(const Call &) { return intValue(kSensorRows); }
MemberResult CameraDevice::getTrue(const Call &) { return MemberResult::value("true"); }
MemberResult CameraDevice::getFalse(const Call &) { return MemberResult::value("false"); }
MemberResult CameraDevice::getExposureMax(const Call &) {
    return MemberResult::value(jsonNumber(kExposureMaxSeconds));
}
MemberResult CameraDevice::getExposureMin(const Call &) {
    return MemberResult::value(jsonNumber(0.0));
}
MemberResult CameraDevice::getExposureResolution(const Call &) {
    return MemberResult::value(jsonNumber(kExposureResolutionSeconds));
}
MemberResult CameraDevice::getMaxAdu(const Call &) { return intValue(kMaxAdu); }
MemberResult CameraDevice::getMaxBin(const Call &) { return intValue(kMaxBin); }
MemberResult CameraDevice::getSensorName(const Call &) {
    // The module does not name the sensor chip; ASCOM asks for an empty
    // string rather than a guess.
    return MemberResult::value("\"\"");
}
MemberResult CameraDevice::getSensorType(const Call &) { return intValue(kSensorTypeRggb); }

MemberResult CameraDevice::getPixelSize(const Call &) {
    if (!pixelSizeMicrons_) {
        return MemberResult::fail(
            ErrorCode::ValueNotSet,
            "the pixel size is not known to the driver: set it with qm-alpaca "
            "--pixel-size or on the setup page");
    }
    return MemberResult::value(jsonNumber(*pixelSizeMicrons_));
}

MemberResult CameraDevice::notImplemented(const Call &) {
    return notImplementedResult("this member");
}

// Setters of members the camera lacks: the value is checked as any setter's
// would be, then refused as not implemented.

MemberResult CameraDevice::putCoolerOn(const Call &call) {
    bool value = false;
    MemberResult bad;
    return boolField(call.fields, "CoolerOn", value, bad) ? notImplementedResult("a cooler") : bad;
}
MemberResult CameraDevice::putFastReadout(const Call &call) {
    bool value = false;
    MemberResult bad;
    return boolField(call.fields, "FastReadout", value, bad) ? notImplementedResult("fast readout")
                                                             : bad;
}
MemberResult CameraDevice::putGain(const Call &call) {
    int32_t value = 0;
    MemberResult bad;
    return intField(call.fields, "Gain", value, bad) ? notImplementedResult("gain") : bad;
}
MemberResult CameraDevice::putOffset(const Call &call) {
    int32_t value = 0;
    MemberResult bad;
    return intField(call.fields, "Offset", value, bad) ? notImplementedResult("offset") : bad;
}
MemberResult CameraDevice::putSetCcdTemperature(const Call &call) {
    double value = 0;
    MemberResult bad;
    return doubleField(call.fields, "SetCCDTemperature", value, bad)
               ? notImplementedResult("a cooler")
               : bad;
}
MemberResult CameraDevice::putSubExposureDuration(const Call &call) {
    double value = 0;
    MemberResult bad;
    return doubleField(call.fields, "SubExposureDuration", value, bad)
               ? notImplementedResult("sub-exposures")
               : bad;
}
MemberResult CameraDevice::putPulseGuide(const Call &call) {
    int32_t direction = 0;
    int32_t duration = 0;
    MemberResult bad;
    if (!intField(call.fields, "Direction", direction, bad) ||
        !intField(call.fields, "Duration", duration, bad)) {
        return bad;
    }
    return notImplementedResult("a guiding port");
}

// Binning, readout mode and subframe.

MemberResult CameraDevice::getBin(const Call &) { return intValue(bin_); }

MemberResult CameraDevice::putBinX(const Call &call) {
    int32_t bin = 0;
    MemberResult bad;
    if (!intField(call.fields, "BinX", bin, bad)) {
        return bad;
    }
    if (!binSupported(bin)) {
        return MemberResult::fail(
            ErrorCode::InvalidValue,
            "BinX " + std::to_string(bin) + " refused: the camera bins 1, 2 or 4");
    }
    // The camera bins both axes alike: one factor serves BinX and BinY.
    bin_ = bin;
    return MemberResult::done();
}

MemberResult CameraDevice::putBinY(const Call &call) {
    int32_t bin = 0;
    MemberResult bad;
    if (!intField(call.fields, "BinY", bin, bad)) {
        return bad;
    }
    if (!binSupported(bin)) {
        return MemberResult::fail(
            ErrorCode::InvalidValue,
            "BinY " + std::to_string(bin) + " refused: the camera bins 1, 2 or 4");
    }
    bin_ = bin;
    return MemberResult::done();
}

MemberResult CameraDevice::getReadoutMode(const Call &) { return intValue(readoutMode_); }

MemberResult CameraDevice::putReadoutMode(const Call &call) {
    int32_t mode = 0;
    MemberResult bad;
    if (!intField(call.fields, "ReadoutMode", mode, bad)) {
        return bad;
    }
    if (mode < 0 || mode >= kReadoutModeCount) {
        return MemberResult::fail(ErrorCode::InvalidValue,
                                  "ReadoutMode " + std::to_string(mode) +
                                      " refused: the modes are 0 and 1 (see ReadoutModes)");
    }
    readoutMode_ = mode;
    return MemberResult::done();
}

MemberResult CameraDevice::getReadoutModes(const Call &) {
    std::string list = "[";
    for (int32_t i = 0; i < kReadoutModeCount; ++i) {
        list += (i != 0 ? "," : "") + jsonString(kReadoutModes[i].name);
    }
    return MemberResult::value(list + "]");
}

MemberResult CameraDevice::getNumX(const Call &) { return intValue(subframe_.numX); }
MemberResult CameraDevice::getNumY(const Call &) { return intValue(subframe_.numY); }
MemberResult CameraDevice::getStartX(const Call &) { return intValue(subframe_.startX); }
MemberResult CameraDevice::getStartY(const Call &) { return intValue(subframe_.startY); }
MemberResult CameraDevice::putNumX(const Call &call) {
    return putSubframeValue(call, "NumX", subframe_.numX);
}
MemberResult CameraDevice::putNumY(const Call &call) {
    return putSubframeValue(call, "NumY", subframe_.numY);
}
MemberResult CameraDevice::putStartX(const Call &call) {
    return putSubframeValue(call, "StartX", subframe_.startX);
}
MemberResult CameraDevice::putStartY(const Call &call) {
    return putSubframeValue(call, "StartY", subframe_.startY);
}

MemberResult CameraDevice::putSubframeValue(const Call &call, const char *name, int32_t &target) {
    // Judged at StartExposure, against the binning then in force.
    MemberResult bad;
    int32_t value = 0;
    if (!intField(call.fields, name, value, bad)) {
        return bad;
    }
    target = value;
    return MemberResult::done();
}

// Exposure.

bool CameraDevice::exposing() const {
    return phase_ == CameraState::Waiting || phase_ == CameraState::Exposing;
}

CameraState CameraDevice::currentState() const {
    if (phase_ == CameraState::Exposing && std::chrono::steady_clock::now() - exposureStart_ >=
                                               std::chrono::duration<double>(currentDuration_)) {
        return CameraState::Reading;
    }
    return phase_;
}

std::optional<int32_t> CameraDevice::percentCompleted() const {
    switch (phase_) {
        case CameraState::Waiting:
            return 0;
        case CameraState::Exposing: {
            if (currentDuration_ <= 0) {
                return 100;
            }
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - exposureStart_)
                    .count();
            return static_cast<int32_t>(std::clamp(elapsed / currentDuration_ * 100.0, 0.0, 100.0));
        }
        case CameraState::Idle:
            return image_ ? 100 : 0;
        default:
            return std::nullopt;
    }
}

MemberResult CameraDevice::getCameraState(const Call &) {
    return intValue(static_cast<int32_t>(currentState()));
}

MemberResult CameraDevice::getPercentCompleted(const Call &) {
    const auto percent = percentCompleted();
    if (!percent) {
        return MemberResult::fail(ErrorCode::InvalidOperation,
                                  "the last exposure failed: " + failure_);
    }
    return intValue(*percent);
}

MemberResult CameraDevice::getImageReady(const Call &) {
    return MemberResult::value(jsonBool(image_ != nullptr));
}

MemberResult CameraDevice::getLastExposureDuration(const Call &) {
    if (!lastDuration_) {
        return MemberResult::fail(ErrorCode::ValueNotSet, "no exposure has been started yet");
    }
    return MemberResult::value(jsonNumber(*lastDuration_));
}

MemberResult CameraDevice::getLastExposureStartTime(const Call &) {
    if (!lastStartTime_) {
        return MemberResult::fail(ErrorCode::ValueNotSet, "no exposure has been started yet");
    }
    return MemberResult::value(jsonString(formatAscomTime(*lastStartTime_)));
}

MemberResult CameraDevice::putStartExposure(const Call &call) {
    double duration = 0;
    bool light = true;
    MemberResult bad;
    if (!doubleField(call.fields, "Duration", duration, bad) ||
        !boolField(call.fields, "Light", light, bad)) {
        return bad;
    }
    if (duration < 0 || duration > kExposureMaxSeconds) {
        return MemberResult::fail(
            ErrorCode::InvalidValue,
            "Duration " + number(duration) + " s refused: exposures last 0 to 3600 s");
    }
    if (exposing()) {
        return MemberResult::fail(ErrorCode::InvalidOperation,
                                  "an exposure is already in progress");
    }
    std::string error;
    if (!checkSubframe(subframe_, bin_, error)) {
        return MemberResult::fail(ErrorCode::InvalidValue, error);
    }
    const uint32_t mode = *driverModeFor(bin_, readoutMode_);
    currentPlan_ = planReadout(subframe_, mode);
    currentFrame_ = subframe_;
    currentId_ = ++lastId_;
    currentDuration_ = duration;
    phase_ = CameraState::Waiting;
    failure_.clear();
    image_.reset();
    lastDuration_ = duration;
    lastStartTime_ = std::chrono::system_clock::now();
    exposureStart_ = std::chrono::steady_clock::now();
    const auto lengthMs = static_cast<int32_t>(std::llround(duration * 1000));
    worker_->expose({.id = currentId_,
                     .lengthMs = lengthMs,
                     .mode = mode,
                     .window = currentPlan_.window,
                     .geometry = currentPlan_.geometry});
    log_("exposure " + std::to_string(currentId_) + ": " + number(duration) + " s, " +
         (light ? "light" : "dark") + ", mode " + std::to_string(mode) + ", " +
         std::to_string(subframe_.numX) + " x " + std::to_string(subframe_.numY) + " at " +
         std::to_string(subframe_.startX) + "," + std::to_string(subframe_.startY) + ", client " +
         std::to_string(call.clientId));
    return MemberResult::done();
}

MemberResult CameraDevice::putAbortExposure(const Call &) {
    if (exposing()) {
        // The module cannot stop the camera: the worker polls the frame out of
        // sight and drops it, while the camera is ready for the next request.
        worker_->abort();
        log_("exposure " + std::to_string(currentId_) + " aborted");
        currentId_ = 0;
    }
    phase_ = CameraState::Idle;
    return MemberResult::done();
}

void CameraDevice::onWorkerEvents() {
    CameraWorker *worker = reportingWorker_.load();
    if (worker == nullptr) {
        return;  // reported before construction finished: taken with the next report
    }
    for (WorkerEvent &event : worker->takeEvents()) {
        ReadoutPlan plan;
        {
            std::lock_guard lock(mutex_);
            if (event.id == 0 || event.id != currentId_) {
                continue;
            }
            switch (event.kind) {
                case WorkerEvent::Kind::ExposureStarted:
                    if (phase_ == CameraState::Waiting) {
                        phase_ = CameraState::Exposing;
                        exposureStart_ = std::chrono::steady_clock::now();
                        lastStartTime_ = std::chrono::system_clock::now();
                    }
                    continue;
                case WorkerEvent::Kind::ExposureFailed:
                    phase_ = CameraState::Error;
                    failure_ = event.message;
                    currentId_ = 0;
                    log_("exposure " + std::to_string(event.id) + " failed: " + event.message);
                    continue;
                case WorkerEvent::Kind::FrameReady:
                    plan = currentPlan_;
                    break;
                default:
                    continue;
            }
        }
        // The crop runs outside the lock: requests go on being answered.
        auto image = std::make_shared<const ColumnImage>(cropToColumns(event.image, plan));
        std::lock_guard lock(mutex_);
        if (event.id != currentId_) {
            continue;  // aborted or disconnected meanwhile
        }
        image_ = std::move(image);
        imageMode_ = plan.mode;
        imageFrame_ = currentFrame_;
        phase_ = CameraState::Idle;
        currentId_ = 0;
        log_("exposure " + std::to_string(event.id) + ": image ready");
    }
}

std::shared_ptr<const ColumnImage> CameraDevice::image(uint32_t clientId, MemberResult &refusal) {
    std::lock_guard lock(mutex_);
    settleConnection();
    if (!clientConnected(clientId)) {
        refusal = MemberResult::fail(
            ErrorCode::NotConnected,
            "the camera is not connected for this client: set Connected or call Connect first");
        return nullptr;
    }
    if (phase_ == CameraState::Error) {
        refusal = MemberResult::fail(ErrorCode::CameraFailure, "the exposure failed: " + failure_);
        return nullptr;
    }
    if (!image_) {
        refusal =
            MemberResult::fail(ErrorCode::InvalidOperation,
                               exposing() ? "the exposure is not finished: wait for ImageReady"
                                          : "there is no image: start an exposure first");
        return nullptr;
    }
    return image_;
}

DeviceStatus CameraDevice::status() {
    std::lock_guard lock(mutex_);
    settleConnection();
    return {.open = open_,
            .connecting = pendingConnect_.valid(),
            .clients = clients_.size(),
            .driverName = opened_.driverName,
            .driverInfo = opened_.driverInfo,
            .modeNames = opened_.modeNames,
            .state = currentState(),
            .bin = bin_,
            .readoutMode = readoutMode_,
            .pixelSizeMicrons = pixelSizeMicrons_,
            .lastError = failure_,
            .image = image_,
            .imageMode = imageMode_,
            .imageStartX = imageFrame_.startX,
            .imageStartY = imageFrame_.startY};
}

void CameraDevice::setPixelSize(double microns) {
    std::lock_guard lock(mutex_);
    pixelSizeMicrons_ = microns;
}

}  // namespace alpaca
