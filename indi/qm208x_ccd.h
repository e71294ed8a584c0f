// indi_qm208x_ccd: the camera as an INDI CCD device, hosting D_QM208X.so the way
// an imaging application does. Every module call runs on the CameraWorker's
// thread; this class lives on INDI's event loop and only exchanges requests
// and events with it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/camera_identity.h"
#include "host/camera_worker.h"
#include "host/exposure_tracker.h"
#include "indi/camera_absence.h"
#include "indi/frame_request.h"
#include "indi/incoming_guard.h"
#include "indi/indi_compat.h"

class Qm208xCcd : public PortableCcd {
public:
    Qm208xCcd();
    ~Qm208xCcd() override;

    const char *getDefaultName() override { return kCameraName; }
    // Closes the camera and ends the worker thread; nothing reaches the module after.
    void shutdown();
    bool initProperties() override;
    bool updateProperties() override;
    void ISGetProperties(const char *dev) override;
    bool ISNewNumber(const char *dev, const char *name, double values[], char *names[],
                     int n) override;
    bool ISNewSwitch(const char *dev, const char *name, ISState *states, char *names[],
                     int n) override;
    bool ISNewText(const char *dev, const char *name, char *texts[], char *names[],
                   int n) override;
    bool ISNewBLOB(const char *dev, const char *name, int sizes[], int blobsizes[], char *blobs[],
                   char *formats[], char *names[], int n) override;

protected:
    bool Connect() override;
    bool Disconnect() override;
    bool StartExposure(float duration) override;
    bool AbortExposure() override;
    bool UpdateCCDFrame(int x, int y, int w, int h) override;
    bool UpdateCCDBin(int hor, int ver) override;
    bool StartStreaming() override;
    bool StopStreaming() override;
    bool SetCaptureFormat(uint8_t index) override;
    void TimerHit() override;
    void addDriverKeywords(INDI::CCDChip *chip, FitsKeywords &keywords) override;
    void UploadComplete(INDI::CCDChip *chip) override;
    bool saveConfigItems(FILE *fp) override;

private:
    static constexpr const char *kModulePathProperty = "QM_DRIVER_MODULE";
    static constexpr const char *kPixelSizeProperty = "QM_PIXEL_SIZE";
    static constexpr const char *kModeProperty = "QM_BINNING_MODE";
    static constexpr const char *kCameraWaitProperty = "QM_CAMERA_WAIT";
    // How long after the camera was lost an exposure asked for waits for it to
    // come back (QM_CAMERA_WAIT's default): long enough for a USB reconnection
    // (the host's attempts come at once, then after 2, 6 and 14 s), short
    // enough that a client watching a Busy exposure does not give up on it.
    static constexpr double kDefaultCameraWaitSeconds = 15;
    static constexpr double kLongestCameraWaitSeconds = 60;

    // Live video: exposures back to back in the current mode and frame, at
    // STREAMING_EXPOSURE's length, each frame handed to the stream manager.
    struct LiveStream {
        uint64_t firstId = 0;  // frames of earlier requests belong to a stopped stream
        FramePlan plan;        // the mode and frame of the stream's frames
        int inFlight = 0;  // requested, neither delivered nor failed yet
    };

    static void onWorkerWake(int fd, void *self);
    void wake() const;
    void onUploadFinished();
    void handleWorkerEvents();
    void onExposureEvent(WorkerEvent &event);
    void onExposureStarted();
    void onFrameReady(std::vector<uint16_t> &image);
    void onExposureFailed();
    // CameraLost, ReopenFailed, CameraBack: logged, sparingly while it lasts.
    void onCameraEvent(const WorkerEvent &event);

    bool isStreamFrame(uint64_t id) const { return stream_ && id >= stream_->firstId; }
    // Starts the stream in the current mode and frame; false, with the reason
    // logged, when it cannot.
    bool beginStream();
    void requestStreamFrames();
    void onStreamFrame(std::vector<uint16_t> &image);
    // Turns CCD_VIDEO_STREAM off, as a client would, saying why.
    void endStream(const char *why);
    // The stream manager's pixel format and size for the current mode and frame.
    void describeStream();
    // After a change of mode or frame: the format and size follow it, and a
    // running stream drops the frames in flight and goes on in the new geometry.
    void restartStream();
    // From the base class's upload thread, which starts the next exposure of a
    // fast sequence: the request is handed to the event loop.
    double takeFastExposureRequest() { return fastExposureSeconds_.exchange(-1); }
    // "x,y WIDTHxHEIGHT" for messages.
    static std::string frameText(const SensorFrame &frame);
    void refuse(const char *property, const std::string &message);
    // A text property naming where files are written: its folder element
    // stays the driver's; every other element must be a plain file name.
    struct FileDestination {
        const char *property;
        const char *folder;
        const char *what;
    };
    static constexpr FileDestination kFileDestinations[] = {
        {.property = "RECORD_FILE", .folder = "RECORD_FILE_DIR", .what = "Recordings are"},
        {.property = "UPLOAD_SETTINGS", .folder = "UPLOAD_DIR", .what = "Images the driver saves are"},
    };
    // Refused with Alert, changing nothing, when a client names another folder.
    bool admitFileDestination(const FileDestination &destination, char *texts[], char *names[],
                              int n);
    bool requestExposure(double seconds);
    bool applyFrame(double x, double y, double width, double height);
    enum class Answer { Mode, Binning };  // the property a client set
    void selectMode(uint32_t mode, Answer last);
    // CCD_CFA's texts and the Bayer capability for the mode and frame; true
    // when the mode keeps the mosaic.
    bool updateColourFilter();
    void publishColourFilter();
    void armCountdown();
    const CameraMode &cameraMode() const { return kCameraModes[mode_]; }
    // The host's plan for the current mode and frame.
    FramePlan framePlan() const { return framePlanFor(frame_, mode_); }
    // A delivered image of `plan`'s driver window cut to its subframe; false
    // when the image is not of the window's size.
    static bool cutToSubframe(std::vector<uint16_t> &image, const FramePlan &plan);
    // From the request until the image is sent (CCD_EXPOSURE busy), the frame,
    // binning and mode stay as they are, so the image is what was asked for.
    // A recording's frames keep one size, so it locks them too.
    bool frameLocked() const {
        return exposures_.running() || uploading_.load() || (stream_ && Streamer->isRecording());
    }

    // Every client message passes it before the base class or this class acts.
    qmguard::IncomingGuard guard_{*this};
    // The module loaded at each connection: from the environment or the
    // default, never from a client.
    const std::string modulePath_;
    // How long past its length a frame may take to arrive: QM_READOUT_MARGIN,
    // else the default every program of this camera has.
    const std::optional<std::chrono::milliseconds> givenReadoutMargin_;
    std::unique_ptr<CameraWorker> worker_;
    std::optional<LiveStream> stream_;
    CameraAbsence absence_;
    // The image size last given to the stream manager.
    int32_t describedWidth_ = 0;
    int32_t describedHeight_ = 0;
    // The thread of INDI's event loop, where this class's state lives.
    const std::thread::id loopThread_ = std::this_thread::get_id();
    std::atomic<double> fastExposureSeconds_{-1};
    int wakePipe_[2] = {-1, -1};
    int wakeCallback_ = -1;

    uint32_t mode_ = 4;
    SensorFrame frame_;
    // The exposure clients see as running (CCD_EXPOSURE busy); also gives
    // live video's frames their ids.
    ExposureTracker exposures_;
    // The image being sent; written under ccdBufferLock, read by the base
    // class's upload thread while it holds that lock.
    TrackedExposure delivery_;
    std::atomic<bool> uploading_{false};
    // Set by the upload thread when the image is sent, handled on the event loop.
    std::atomic<bool> uploadFinished_{false};
    int countdownTimer_ = -1;
    bool colourFilterDefined_ = false;
    std::string driverName_;
    std::vector<std::string> modeNames_;

    IText modulePathT_[1]{};
    ITextVectorProperty modulePathTP_{};
    INumber pixelSizeN_[1]{};
    INumberVectorProperty pixelSizeNP_{};
    ISwitch modeS_[kCameraModes.size()]{};
    ISwitchVectorProperty modeSP_{};
    INumber cameraWaitN_[1]{};
    INumberVectorProperty cameraWaitNP_{};
};
