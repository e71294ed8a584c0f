// Everything the driver keeps from one host call to the next.
#pragma once

#include <cstdint>

struct DriverState {
    uint8_t cameraConnected = 0;   // 1 after an open sequence that fully succeeded
    uint8_t *rawFrame = nullptr;   // frame buffer of kRawFrameBytes, owned by the driver
    uint32_t binningMode = 0;      // last mode passed to d_Subframe; above 4 = rejected
    uint32_t binFactorX = 1;       // factor of the last accepted mode
    uint32_t binFactorY = 1;
    int32_t windowX = 0;           // readout window in binned pixels
    int32_t windowY = 0;
    int32_t windowWidth = 0;       // also the host image's size
    int32_t windowHeight = 0;
    uint8_t exposureActive = 0;    // 1 from a started exposure until its frame is complete
};
