// A moment as every program of this camera writes it: FITS DATE-OBS and DATE,
// ASCOM's LastExposureStartTime.
#pragma once

#include <chrono>
#include <string>

// "YYYY-MM-DDThh:mm:ss.sss", UTC, to the millisecond (rounded down).
std::string utcTimeText(std::chrono::system_clock::time_point time);
