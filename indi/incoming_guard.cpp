#include "indi/incoming_guard.h"

#include <libindi/indilogger.h>

#include <cstring>
#include <string>

#include "indi/message_guard.h"

namespace qmguard {
namespace {

const char *typeName(INDI_PROPERTY_TYPE type) {
    switch (type) {
        case INDI_NUMBER:
            return "number";
        case INDI_SWITCH:
            return "switch";
        case INDI_TEXT:
            return "text";
        case INDI_LIGHT:
            return "light";
        case INDI_BLOB:
            return "BLOB";
        case INDI_UNKNOWN:
            break;
    }
    return "unknown";
}

// A client-given name, cut short and made printable, for a log line.
std::string shown(const char *name) {
    std::string text(name, strnlen(name, MAXINDINAME));
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = '?';
        }
    }
    return text;
}

}  // namespace

INDI::Property IncomingGuard::find(const char *dev, const char *name, INDI_PROPERTY_TYPE type) {
    // Messages for other devices are not ours to answer.
    if (dev == nullptr || std::strcmp(dev, device_.getDeviceName()) != 0 || name == nullptr) {
        return INDI::Property();
    }
    INDI::Property property = device_.getProperty(name);
    if (!property.isValid()) {
        // libindi passes on messages for properties defined once and deleted
        // since (the camera's, after a disconnect).
        DEBUGFDEVICE(device_.getDeviceName(), INDI::Logger::DBG_WARNING,
                     "A %s vector for %s ignored: the device has no such property now.",
                     typeName(type), shown(name).c_str());
        return INDI::Property();
    }
    if (property.getType() != type) {
        refuse(property, std::string(name) + ": it is a " + typeName(property.getType()) +
                             " property, the message was a " + typeName(type) + " vector.");
        return INDI::Property();
    }
    return property;
}

void IncomingGuard::refuse(INDI::Property &property, const std::string &reason) {
    // CONNECTION's state is the connection's own: libindi and clients read an
    // Alert on it as a lost connection. A Busy property's operation goes on.
    // Both keep their state and only carry the reason.
    if (!property.isNameMatch("CONNECTION") && property.getState() != IPS_BUSY) {
        property.setState(IPS_ALERT);
    }
    property.apply("Refused: %s", reason.c_str());
}

bool IncomingGuard::admitNumbers(const char *dev, const char *name, const double values[],
                                 char *const names[], int n) {
    INDI::Property property = find(dev, name, INDI_NUMBER);
    if (!property.isValid()) {
        return false;
    }
    const Refusal refusal = checkNumbers(*property.getNumber(), values, names, n);
    if (refusal) {
        refuse(property, *refusal);
    }
    return !refusal;
}

bool IncomingGuard::admitSwitches(const char *dev, const char *name, const ISState states[],
                                  char *const names[], int n) {
    INDI::Property property = find(dev, name, INDI_SWITCH);
    if (!property.isValid()) {
        return false;
    }
    const Refusal refusal = checkSwitches(*property.getSwitch(), states, names, n);
    if (refusal) {
        refuse(property, *refusal);
    }
    return !refusal;
}

bool IncomingGuard::admitTexts(const char *dev, const char *name, char *const texts[],
                               char *const names[], int n) {
    INDI::Property property = find(dev, name, INDI_TEXT);
    if (!property.isValid()) {
        return false;
    }
    const Refusal refusal = checkTexts(*property.getText(), texts, names, n);
    if (refusal) {
        refuse(property, *refusal);
    }
    return !refusal;
}

bool IncomingGuard::admitBlobs(const char *dev, const char *name, const int sizes[],
                               const int blobSizes[], char *const blobs[], char *const formats[],
                               char *const names[], int n) {
    INDI::Property property = find(dev, name, INDI_BLOB);
    if (!property.isValid()) {
        return false;
    }
    const Refusal refusal =
        checkBlobs(*property.getBLOB(), sizes, blobSizes, blobs, formats, names, n);
    if (refusal) {
        refuse(property, *refusal);
    }
    return !refusal;
}

}  // namespace qmguard
