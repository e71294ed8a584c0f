// The exposure cycle: frame request with the mode's SDK settings, completion poll.
#pragma once

#include <cstdint>

#include "driver/driver_state.h"
#include "readout/binning_mode.h"

// SDK exposure value for a host length: length x the mode's scale, truncated,
// halved toward zero, limited to the signed 32-bit range.
int32_t sdkExposureValue(int32_t length, const BinningMode &mode);

// Requests a frame with the settings of the selected mode. False, with no SDK
// call, while an exposure is active, when the mode is invalid or without buffer.
bool startExposure(DriverState &state, int32_t length);

// True, after a 200 ms pause, while the requested frame is pending; false once it
// is complete (ending the exposure) or when none is active.
bool pollExposure(DriverState &state);
