// The two system calls the driver makes besides the SDK: the message box of
// d_SetupCCD and the pause of d_IsExposing. On Windows they are USER32's and
// KERNEL32's; elsewhere they come from the qm_platform library, a separate
// shared object so that a host or a test can substitute them.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#if defined(QM_BUILDING_PLATFORM)
#define QM_PLATFORM_API __attribute__((visibility("default")))
#else
#define QM_PLATFORM_API
#endif
extern "C" {
// Writes the caption and the text to standard error and returns 1 (OK).
QM_PLATFORM_API int32_t MessageBoxA(void *owner, const char *text, const char *caption,
                                    uint32_t style);
// Sleeps for the given number of milliseconds.
QM_PLATFORM_API void Sleep(uint32_t milliseconds);
}
#endif

namespace platform {
// Message box styles used by the driver.
inline constexpr uint32_t kSystemModal = 0x1000;
inline constexpr uint32_t kIconInformation = 0x40;
inline constexpr uint32_t kIconError = 0x10;
}  // namespace platform
