// A module that carries only three of the driver's twenty exports, for the
// capture tool's refusal of a driver it cannot use.
#include "D_QM208X.h"

extern "C" {
QM_API const char *d_GetName(void) { return "partial"; }
QM_API const char *d_GetInfo(void) { return "partial"; }
QM_API int32_t d_Initialize(int32_t) { return 1; }
}
