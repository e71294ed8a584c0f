// How long the server lets an exposure take before it reports it failed: the
// readout margin past its length (the same bounds as in every program), and
// how long one started while the camera is being reconnected waits for it.
#pragma once

#include <chrono>

#include "host/camera_identity.h"

namespace alpaca {

// Long enough for a USB camera that is plugged in again or that the system
// brings back after a short drop-out, short enough that an imaging program's
// own timeout (N.I.N.A. gives up an exposure 60 s past its length) does not
// come first.
inline constexpr std::chrono::milliseconds kDefaultReconnectWait{30000};
inline constexpr std::chrono::milliseconds kLongestReconnectWait{3600 * 1000};

struct CameraTiming {
    // How long past its length an exposure may take to arrive.
    std::chrono::milliseconds readoutMargin = kDefaultReadoutMargin;
    // How long an exposure started while the camera is being reconnected waits
    // for it; 0: StartExposure is refused meanwhile.
    std::chrono::milliseconds reconnectWait = kDefaultReconnectWait;
};

}  // namespace alpaca
