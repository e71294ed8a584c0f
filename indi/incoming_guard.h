// The device's side of the message checks: finds the property a client's
// message is for, as the device defines it at that moment (properties come and
// go with the connection and with features such as streaming), checks the
// message against it, and answers a refusal. Each admit* returns true when the
// message is for this device and may be acted on; otherwise it has been
// answered (or, for another device, ignored) and must be dropped.
#pragma once

#include <libindi/defaultdevice.h>

namespace qmguard {

class IncomingGuard {
public:
    explicit IncomingGuard(INDI::DefaultDevice &device) : device_(device) {}

    bool admitNumbers(const char *dev, const char *name, const double values[], char *const names[],
                      int n);
    bool admitSwitches(const char *dev, const char *name, const ISState states[],
                       char *const names[], int n);
    bool admitTexts(const char *dev, const char *name, char *const texts[], char *const names[],
                    int n);
    bool admitBlobs(const char *dev, const char *name, const int sizes[], const int blobSizes[],
                    char *const blobs[], char *const formats[], char *const names[], int n);

private:
    // The property of `type` named `name` that this device defines now, or an
    // invalid one after answering why the message cannot apply.
    INDI::Property find(const char *dev, const char *name, INDI_PROPERTY_TYPE type);
    // Alert on the property (CONNECTION and a Busy property keep their state),
    // with the reason as its message; its values stay.
    void refuse(INDI::Property &property, const std::string &reason);

    INDI::DefaultDevice &device_;
};

}  // namespace qmguard
