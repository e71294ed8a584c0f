// d_Subframe arguments and the window sizes they give: the full frame in every
// mode, then a window inside the frame. Shared by the Linux driver tests and
// the Windows host program.
#pragma once

#include <cstdint>

struct WindowCase {
    uint32_t x, y, width, height;
    uint32_t mode;
    int32_t expectedWidth, expectedHeight;
};

inline constexpr WindowCase kWindowCases[] = {
    {0, 0, 100000, 100000, 0, 512, 384},
    {0, 0, 100000, 100000, 1, 512, 384},
    {0, 0, 100000, 100000, 2, 1024, 768},
    {0, 0, 100000, 100000, 3, 1024, 768},
    {0, 0, 100000, 100000, 4, 2048, 1536},
    {12345, 33333, 50000, 50000, 0, 256, 192},
    {12345, 33333, 50000, 50000, 3, 512, 384},
    {12345, 33333, 50000, 50000, 4, 1024, 768},
};
