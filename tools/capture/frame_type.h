// The frame types by their names on qm-capture's command line.
#pragma once

#include <string_view>

#include "imaging/fits_keywords.h"  // FrameType and its IMAGETYP

struct FrameTypeNames {
    FrameType type;
    const char *name;  // --type value and {type} token
};

inline constexpr FrameTypeNames kFrameTypes[] = {
    {.type = FrameType::Light, .name = "light"},
    {.type = FrameType::Dark, .name = "dark"},
    {.type = FrameType::Flat, .name = "flat"},
    {.type = FrameType::Bias, .name = "bias"},
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
