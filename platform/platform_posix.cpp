#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

extern "C" int32_t MessageBoxA(void *, const char *text, const char *caption, uint32_t) {
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    return 1;  // IDOK
}

extern "C" void Sleep(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    // Resume after signals so the pause is never cut short.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
