// Camera 0 as the Alpaca clients see it: the ICameraV4 members over the one
// worker thread that owns the driver module. Every member answers from the
// state kept here, under a short lock; nothing waits on a module call except
// the synchronous Connected=true, which waits for the camera to open.
//
// Clients are told apart by ClientID: the camera opens with the first client
// that connects and closes when the last one disconnects, and only a client
// that connected may use it.
//
// A camera that stops answering (a frame that never comes, a refused start) is
// reconnected by the worker while every client stays connected. Meanwhile
// CameraState is 5 and ImageReady and ImageArray answer an error saying what
// happened and how the reconnection goes; an exposure started meanwhile waits
// for the camera (CameraTiming::reconnectWait) in CameraState 1. The failed
// exposure's error stays until the next StartExposure or AbortExposure.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "alpaca/alpaca_protocol.h"
#include "alpaca/camera_timing.h"
#include "alpaca/client_connections.h"
#include "alpaca/image_encoding.h"
#include "host/camera_identity.h"
#include "host/camera_modes.h"
#include "host/camera_worker.h"
#include "host/exposure_tracker.h"
#include "host/frame_plan.h"

namespace alpaca {

// ASCOM CameraStates.
enum class CameraState : int32_t {
    Idle = 0,
    Waiting = 1,
    Exposing = 2,
    Reading = 3,
    Download = 4,
    Error = 5
};

inline constexpr int32_t kInterfaceVersion = 4;

// ReadoutMode 0 keeps the colour mosaic at every binning (modes 4, 2, 1: the
// driver sums same-colour samples); ReadoutMode 1 bins in the camera where it
// can (modes 4, 3, 0: neighbouring rows summed, colours mixed).
struct ReadoutModeChoice {
    const char *name;
    BinningKind kind;
};
inline constexpr ReadoutModeChoice kReadoutModes[] = {
    {.name = "Colour mosaic kept (driver binning)", .kind = BinningKind::ColourKept},
    {.name = "Camera binning (colours mixed)", .kind = BinningKind::CameraBinning},
};
inline constexpr int32_t kReadoutModeCount = 2;

// BayerOffsetX/Y: where the red sample of the colour mosaic sits in the
// full-frame image, which is also where it sits relative to any subframe's
// origin counted in full-frame coordinates.
struct BayerOffset {
    int32_t x = 0;
    int32_t y = 0;
};
BayerOffset sensorBayerOffset();

// What the setup page shows.
struct DeviceStatus {
    bool open = false;
    bool connecting = false;
    size_t clients = 0;
    std::string driverName;
    std::string driverInfo;
    std::vector<std::string> modeNames;
    CameraState state = CameraState::Idle;
    int32_t bin = 1;
    int32_t readoutMode = 0;
    std::optional<double> pixelSizeMicrons;
    std::string lastError;
    std::shared_ptr<const ColumnImage> image;
    uint32_t imageMode = 4;  // the driver mode the image was read in
    int32_t imageStartX = 0;
    int32_t imageStartY = 0;
    std::string imagePattern;  // the image's colour mosaic (BAYERPAT style); empty: none
};

class CameraDevice {
public:
    using Log = std::function<void(const std::string &line)>;

    CameraDevice(ModuleLoader loader, std::string modulePath,
                 std::optional<double> pixelSizeMicrons, Log log, CameraTiming timing = {});
    ~CameraDevice();
    CameraDevice(const CameraDevice &) = delete;
    CameraDevice &operator=(const CameraDevice &) = delete;

    // True for a member name (lower case, as in the URL) this device has,
    // including imagearray and imagearrayvariant, which the server encodes.
    static bool hasMember(const std::string &member);

    // One member: GET (`put` false) with query fields, or PUT with form
    // fields. A member without that method is a malformed request.
    MemberResult call(const std::string &member, bool put, const Fields &fields, uint32_t clientId);

    // The image for ImageArray, or nullptr with the ASCOM error in `refusal`.
    std::shared_ptr<const ColumnImage> image(uint32_t clientId, MemberResult &refusal);

    DeviceStatus status();
    void setPixelSize(double microns);

private:
    // A PUT's parameters, parsed before anything else (so a malformed request
    // is answered as one whatever the camera's state) and handed over in the
    // table's order.
    enum class Kind { Bool, Int, Number, Text };
    struct Parameter {
        const char *name;
        Kind kind;
    };
    using Argument = std::variant<bool, int32_t, double, std::string>;
    struct Call {
        uint32_t clientId;
        std::vector<Argument> arguments;
        const char *lacking;  // what notImplemented names

        bool flag(size_t i) const { return std::get<bool>(arguments[i]); }
        int32_t whole(size_t i) const { return std::get<int32_t>(arguments[i]); }
        double number(size_t i) const { return std::get<double>(arguments[i]); }
    };
    using Handler = MemberResult (CameraDevice::*)(const Call &);
    struct Member {
        Handler get = nullptr;
        Handler put = nullptr;
        bool needsConnection = true;
        std::vector<Parameter> putParameters = {};
        const char *lacking = "this member";  // what a PUT of a member the camera lacks names
    };
    static bool parseParameters(const std::vector<Parameter> &parameters, const Fields &fields,
                                std::vector<Argument> &arguments, MemberResult &bad);
    static const std::map<std::string, Member> &members();

    // Under mutex_.
    CameraState currentState() const;
    // Why no image can come now: the last exposure failed, or the camera is
    // being reconnected (CameraReconnecting); nullopt when neither.
    std::optional<MemberResult> trouble() const;
    void closed();
    void onWorkerEvents();
    // The camera's own events (lost, reopening, back); false for the others.
    bool noteCameraEvent(const WorkerEvent &event);

    // Connection (camera_device.cpp).
    MemberResult getConnected(const Call &call);
    MemberResult putConnected(const Call &call);
    MemberResult getConnecting(const Call &call);
    MemberResult putConnect(const Call &call);
    MemberResult putDisconnect(const Call &call);

    // Identity, capabilities and settings (camera_settings.cpp).
    MemberResult getDescription(const Call &call);
    MemberResult getDriverInfo(const Call &call);
    MemberResult getDriverVersion(const Call &call);
    MemberResult getInterfaceVersion(const Call &call);
    MemberResult getName(const Call &call);
    MemberResult getSupportedActions(const Call &call);
    MemberResult putAction(const Call &call);
    MemberResult notImplemented(const Call &call);
    MemberResult getTrue(const Call &call);
    MemberResult getFalse(const Call &call);
    MemberResult getBayerOffsetX(const Call &call);
    MemberResult getBayerOffsetY(const Call &call);
    MemberResult getCameraXSize(const Call &call);
    MemberResult getCameraYSize(const Call &call);
    MemberResult getExposureMax(const Call &call);
    MemberResult getExposureMin(const Call &call);
    MemberResult getExposureResolution(const Call &call);
    MemberResult getMaxAdu(const Call &call);
    MemberResult getMaxBin(const Call &call);
    MemberResult getPixelSize(const Call &call);
    MemberResult getSensorName(const Call &call);
    MemberResult getSensorType(const Call &call);
    MemberResult getBin(const Call &call);
    MemberResult putBinX(const Call &call);
    MemberResult putBinY(const Call &call);
    MemberResult setBin(const char *name, int32_t bin);
    MemberResult getReadoutMode(const Call &call);
    MemberResult putReadoutMode(const Call &call);
    MemberResult getReadoutModes(const Call &call);
    MemberResult getNumX(const Call &call);
    MemberResult putNumX(const Call &call);
    MemberResult getNumY(const Call &call);
    MemberResult putNumY(const Call &call);
    MemberResult getStartX(const Call &call);
    MemberResult putStartX(const Call &call);
    MemberResult getStartY(const Call &call);
    MemberResult putStartY(const Call &call);

    // Exposure (camera_exposure.cpp).
    MemberResult getCameraState(const Call &call);
    MemberResult getDeviceState(const Call &call);
    MemberResult getPercentCompleted(const Call &call);
    MemberResult getImageReady(const Call &call);
    MemberResult getLastExposureDuration(const Call &call);
    MemberResult getLastExposureStartTime(const Call &call);
    MemberResult putStartExposure(const Call &call);
    MemberResult putAbortExposure(const Call &call);

    const std::string modulePath_;
    const Log log_;
    const std::chrono::milliseconds reconnectWait_;

    std::mutex mutex_;
    ClientConnections clients_;
    // Settings.
    int32_t bin_ = 1;
    int32_t readoutMode_ = 0;
    Subframe subframe_ = {.x = 0, .y = 0, .width = kSensorWidth, .height = kSensorHeight};
    std::optional<double> pixelSizeMicrons_;
    // Exposure.
    ExposureTracker exposure_;
    uint64_t croppingId_ = 0;  // the exposure whose frame is being cut, 0: none
    std::shared_ptr<const ColumnImage> image_;
    FramePlan imagePlan_;
    std::string imagePattern_;
    // From CameraLost until CameraBack or a disconnection.
    struct CameraAway {
        std::string reason;       // what happened
        std::string lastAttempt;  // how the latest attempt to reopen it failed
        std::string message() const;
    };
    std::optional<CameraAway> cameraAway_;

    // Last, so its thread ends before anything it reports into goes.
    std::unique_ptr<CameraWorker> worker_;
    // The same worker for its own thread's reports: unique_ptr::reset clears
    // worker_ before the worker's destructor has joined that thread, which
    // may still be reporting meanwhile.
    std::atomic<CameraWorker *> reportingWorker_{nullptr};
};

}  // namespace alpaca
