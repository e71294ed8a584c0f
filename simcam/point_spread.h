// Drawing stars into a light-rate image.
#pragma once

#include <vector>

#include "simcam/star_field.h"

namespace simcam {

// Adds the star's light, through each pixel's filter, to `rates` (row-major,
// kSensorWidth x kSensorHeight, electrons per second). Parts of the star off the
// sensor are dropped.
void drawStar(const Star &star, std::vector<float> &rates);

}  // namespace simcam
