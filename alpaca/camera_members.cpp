// The member table: each ICameraV4 member's GET and PUT handlers, what a PUT
// must carry, and whether the client must have connected. call() checks and
// parses the request, so each handler only maps values onto the camera.
#include "alpaca/camera_device.h"

namespace alpaca {

namespace {

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

bool copyText(std::string_view text, std::string &value) {
    value = text;
    return true;
}

}  // namespace

const std::map<std::string, CameraDevice::Member> &CameraDevice::members() {
    using D = CameraDevice;
    using K = Kind;
    const std::vector<Parameter> kCommand = {{"Command", K::Text}, {"Raw", K::Bool}};
    const auto lacks = [](std::vector<Parameter> parameters = {},
                          const char *what = "this member") {
        return Member{&D::notImplemented, &D::notImplemented, true, std::move(parameters), what};
    };
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
        {"commandblind", {nullptr, &D::notImplemented, false, kCommand, "sending raw commands"}},
        {"commandbool", {nullptr, &D::notImplemented, false, kCommand, "sending raw commands"}},
        {"commandstring", {nullptr, &D::notImplemented, false, kCommand, "sending raw commands"}},
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
        {"cooleron", lacks({{"CoolerOn", K::Bool}}, "a cooler")},
        {"coolerpower", {&D::notImplemented, nullptr}},
        {"electronsperadu", {&D::notImplemented, nullptr}},
        {"exposuremax", {&D::getExposureMax, nullptr}},
        {"exposuremin", {&D::getExposureMin, nullptr}},
        {"exposureresolution", {&D::getExposureResolution, nullptr}},
        {"fastreadout", lacks({{"FastReadout", K::Bool}}, "fast readout")},
        {"fullwellcapacity", {&D::notImplemented, nullptr}},
        {"gain", lacks({{"Gain", K::Int}}, "gain")},
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
        {"offset", lacks({{"Offset", K::Int}}, "offset")},
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
        {"setccdtemperature", lacks({{"SetCCDTemperature", K::Number}}, "a cooler")},
        {"startx", {&D::getStartX, &D::putStartX, true, {{"StartX", K::Int}}}},
        {"starty", {&D::getStartY, &D::putStartY, true, {{"StartY", K::Int}}}},
        {"subexposureduration", lacks({{"SubExposureDuration", K::Number}}, "sub-exposures")},
        {"abortexposure", {nullptr, &D::putAbortExposure}},
        {"pulseguide",
         {nullptr,
          &D::notImplemented,
          true,
          {{"Direction", K::Int}, {"Duration", K::Int}},
          "a guiding port"}},
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
    const Member &row = found->second;
    const Handler handler = put ? row.put : row.get;
    if (handler == nullptr) {
        return MemberResult::malformed(
            member + (put ? " cannot be set (GET only)" : " is a method (PUT only)"));
    }
    Call parsed{
        .clientId = clientId, .arguments = {}, .lacking = put ? row.lacking : "this member"};
    MemberResult bad;
    if (put && !parseParameters(row.putParameters, fields, parsed.arguments, bad)) {
        return bad;
    }
    std::lock_guard lock(mutex_);
    clients_.settle();
    if (row.needsConnection && !clients_.connected(clientId)) {
        return MemberResult::fail(
            ErrorCode::NotConnected,
            "the camera is not connected for this client: set Connected or call Connect first");
    }
    return (this->*handler)(parsed);
}

bool CameraDevice::parseParameters(const std::vector<Parameter> &parameters, const Fields &fields,
                                   std::vector<Argument> &arguments, MemberResult &bad) {
    for (const Parameter &parameter : parameters) {
        const char *name = parameter.name;
        bool flag = false;
        int32_t whole = 0;
        double real = 0;
        std::string text;
        switch (parameter.kind) {
            case Kind::Bool:
                if (!requiredField(fields, name, parseBool, flag, bad, "true or false")) {
                    return false;
                }
                arguments.emplace_back(flag);
                break;
            case Kind::Int:
                if (!requiredField(fields, name, parseInt32, whole, bad, "a whole number")) {
                    return false;
                }
                arguments.emplace_back(whole);
                break;
            case Kind::Number:
                if (!requiredField(fields, name, parseFiniteDouble, real, bad, "a number")) {
                    return false;
                }
                arguments.emplace_back(real);
                break;
            case Kind::Text:
                if (!requiredField(fields, name, copyText, text, bad, "text")) {
                    return false;
                }
                arguments.emplace_back(std::move(text));
                break;
        }
    }
    return true;
}

}  // namespace alpaca
