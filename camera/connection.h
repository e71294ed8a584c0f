// Bringing the camera up and down: frame buffer, open sequence, release.
#pragma once

#include "driver/driver_state.h"

// Obtains the zero-filled frame buffer unless one is held. False when it cannot
// be obtained (rawFrame stays null).
bool obtainFrameBuffer(DriverState &state);

// Opens the camera (InitialVideo, StartView, EnableAE, each only after the one
// before succeeded), primes it with a preview mode 2 frame request into the
// buffer, if there is one, and, unless quiet, tells the user the outcome.
void setupCamera(DriverState &state, bool quiet);

// Stops and releases a connected camera, then frees the frame buffer.
void finalizeCamera(DriverState &state);
