// What a frame is for: the sky, or one of the calibration frames processing
// software sorts by the FITS keyword IMAGETYP.
#pragma once

#include <string_view>

enum class FrameType { Light, Dark, Flat, Bias };

struct FrameTypeNames {
    FrameType type;
    const char *name;      // --type value and {type} token
    const char *imageTyp;  // IMAGETYP, as the common processing programs expect it
};

inline constexpr FrameTypeNames kFrameTypes[] = {
    {.type = FrameType::Light, .name = "light", .imageTyp = "Light Frame"},
    {.type = FrameType::Dark, .name = "dark", .imageTyp = "Dark Frame"},
    {.type = FrameType::Flat, .name = "flat", .imageTyp = "Flat Field"},
    {.type = FrameType::Bias, .name = "bias", .imageTyp = "Bias Frame"},
};

constexpr const FrameTypeNames &namesOf(FrameType type) {
    return kFrameTypes[static_cast<int>(type)];
}

// False for a name that is none of the four.
constexpr bool frameTypeNamed(std::string_view name, FrameType &type) {
    for (const FrameTypeNames &names : kFrameTypes) {
        if (name == names.name) {
            type = names.type;
            return true;
        }
    }
    return false;
}

static_assert(namesOf(FrameType::Bias).type == FrameType::Bias, "table in enum order");
static_assert(namesOf(FrameType::Flat).type == FrameType::Flat, "table in enum order");
