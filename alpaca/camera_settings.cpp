// Identity, the camera's fixed facts and capabilities, binning, readout mode
// and subframe: handlers of the member table.
#include "alpaca/camera_device.h"

namespace alpaca {

namespace {

constexpr char kDriverInfo[] =
    "qm-alpaca: ASCOM Alpaca server for the Vantrel QM-208X VESK through its driver D_QM208X";
constexpr char kDriverVersion[] = "1.0";
constexpr int32_t kSensorTypeRggb = 2;

MemberResult intValue(int64_t value) { return MemberResult::value(std::to_string(value)); }

}  // namespace

BayerOffset sensorBayerOffset() {
    const uint32_t fullResolution = 4;
    const std::string pattern =
        subframeColours(planFrame(fullSubframe(kCameraModes[fullResolution]), fullResolution))
            .fullFramePattern;
    // pattern holds the colours of (0,0), (1,0), (0,1), (1,1).
    const size_t red = pattern.find('R');
    return {.x = static_cast<int32_t>(red % 2), .y = static_cast<int32_t>(red / 2)};
}

// Identity and the other common members.

MemberResult CameraDevice::getDescription(const Call &) {
    return MemberResult::value(jsonString(kCameraDescription));
}
MemberResult CameraDevice::getDriverInfo(const Call &) {
    return MemberResult::value(jsonString(kDriverInfo));
}
MemberResult CameraDevice::getDriverVersion(const Call &) {
    return MemberResult::value(jsonString(kDriverVersion));
}
MemberResult CameraDevice::getInterfaceVersion(const Call &) { return intValue(kInterfaceVersion); }
MemberResult CameraDevice::getName(const Call &) {
    return MemberResult::value(jsonString(kCameraName));
}
MemberResult CameraDevice::getSupportedActions(const Call &) { return MemberResult::value("[]"); }
MemberResult CameraDevice::putAction(const Call &) {
    return MemberResult::fail(ErrorCode::ActionNotImplemented, "this camera has no actions");
}

// Every member the camera lacks, read or set (a setter's value has been
// checked as any setter's would be).
MemberResult CameraDevice::notImplemented(const Call &call) {
    return MemberResult::fail(ErrorCode::NotImplemented,
                              std::string(call.lacking) + " is not available on this camera");
}

// Fixed facts of the camera.

MemberResult CameraDevice::getTrue(const Call &) { return MemberResult::value("true"); }
MemberResult CameraDevice::getFalse(const Call &) { return MemberResult::value("false"); }
MemberResult CameraDevice::getBayerOffsetX(const Call &) { return intValue(sensorBayerOffset().x); }
MemberResult CameraDevice::getBayerOffsetY(const Call &) { return intValue(sensorBayerOffset().y); }
MemberResult CameraDevice::getCameraXSize(const Call &) { return intValue(kSensorWidth); }
MemberResult CameraDevice::getCameraYSize(const Call &) { return intValue(kSensorHeight); }
MemberResult CameraDevice::getExposureMax(const Call &) {
    return MemberResult::value(jsonNumber(kLongestExposureSeconds));
}
MemberResult CameraDevice::getExposureMin(const Call &) {
    return MemberResult::value(jsonNumber(0.0));
}
MemberResult CameraDevice::getExposureResolution(const Call &) {
    return MemberResult::value(jsonNumber(kExposureResolutionSeconds));
}
MemberResult CameraDevice::getMaxAdu(const Call &) { return intValue(kMaxSampleValue); }
MemberResult CameraDevice::getMaxBin(const Call &) { return intValue(kLargestBinFactor); }
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

// Binning, readout mode and subframe.

MemberResult CameraDevice::getBin(const Call &) { return intValue(bin_); }
MemberResult CameraDevice::putBinX(const Call &call) { return setBin("BinX", call.whole(0)); }
MemberResult CameraDevice::putBinY(const Call &call) { return setBin("BinY", call.whole(0)); }

MemberResult CameraDevice::setBin(const char *name, int32_t bin) {
    if (!modeForBinning(bin, BinningKind::ColourKept)) {
        return MemberResult::fail(
            ErrorCode::InvalidValue,
            std::string(name) + " " + std::to_string(bin) + " refused: the camera bins 1, 2 or 4");
    }
    // The camera bins both axes alike: one factor serves BinX and BinY.
    bin_ = bin;
    return MemberResult::done();
}

MemberResult CameraDevice::getReadoutMode(const Call &) { return intValue(readoutMode_); }

MemberResult CameraDevice::putReadoutMode(const Call &call) {
    const int32_t mode = call.whole(0);
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
        if (i != 0) {
            list += ',';
        }
        list += jsonString(kReadoutModes[i].name);
    }
    return MemberResult::value(list + "]");
}

// The subframe is judged at StartExposure, against the binning then in force.
MemberResult CameraDevice::getNumX(const Call &) { return intValue(subframe_.width); }
MemberResult CameraDevice::getNumY(const Call &) { return intValue(subframe_.height); }
MemberResult CameraDevice::getStartX(const Call &) { return intValue(subframe_.x); }
MemberResult CameraDevice::getStartY(const Call &) { return intValue(subframe_.y); }
MemberResult CameraDevice::putNumX(const Call &call) {
    subframe_.width = call.whole(0);
    return MemberResult::done();
}
MemberResult CameraDevice::putNumY(const Call &call) {
    subframe_.height = call.whole(0);
    return MemberResult::done();
}
MemberResult CameraDevice::putStartX(const Call &call) {
    subframe_.x = call.whole(0);
    return MemberResult::done();
}
MemberResult CameraDevice::putStartY(const Call &call) {
    subframe_.y = call.whole(0);
    return MemberResult::done();
}

}  // namespace alpaca
