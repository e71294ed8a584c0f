// What a client sends: every vector passes the message guard, then goes to
// the handler of its property or to the base class.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <vector>

#include "indi/message_guard.h"
#include "indi/qm208x_ccd.h"

namespace {

// The value of element `name` in a client's partial update, else `current`.
double valueOr(const char *name, double current, const double values[], char *names[], int n) {
    for (int i = 0; i < n; ++i) {
        if (names[i] != nullptr && std::strcmp(names[i], name) == 0) {
            return values[i];
        }
    }
    return current;
}

}  // namespace

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
    if (std::strcmp(name, kCameraWaitProperty) == 0) {
        // The guard has kept the value within the element's range.
        cameraWaitN_[0].value = valueOr("SECONDS", cameraWaitN_[0].value, values, names, n);
        cameraWaitNP_.s = IPS_OK;
        IDSetNumber(&cameraWaitNP_, nullptr);
        return true;
    }
    // libindi's own handlers get the whole vector (message_guard.h).
    qmguard::WholeNumbers whole =
        qmguard::wholeNumbers(*getProperty(name).getNumber(), values, names, n);
    if (std::strcmp(name, "CCD_STREAM_FRAME") == 0 &&
        !subframeColours(framePlan()).pattern.empty()) {
        // The stream's crop keeps whole 2x2 colour cells, so its frames (and a
        // recording's pattern) stay those of the image.
        for (double &value : whole.values) {
            value = std::floor(value / 2) * 2;
        }
    }
    std::vector<char *> wholeNames = qmguard::pointersInto(whole.names);
    return INDI::CCD::ISNewNumber(dev, name, whole.values.data(), wholeNames.data(),
                                  static_cast<int>(wholeNames.size()));
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
        std::strcmp(name, colourFilterName()) == 0) {
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
    // libindi's own handlers get the whole vector (message_guard.h).
    qmguard::WholeTexts whole = qmguard::wholeTexts(*getProperty(name).getText(), texts, names, n);
    std::vector<char *> wholeTexts = qmguard::pointersInto(whole.texts);
    std::vector<char *> wholeNames = qmguard::pointersInto(whole.names);
    return INDI::CCD::ISNewText(dev, name, wholeTexts.data(), wholeNames.data(),
                                static_cast<int>(wholeNames.size()));
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
        LOGF_ERROR("%s", message.c_str());
        return;
    }
    found.setState(IPS_ALERT);
    found.apply("%s", message.c_str());
}

