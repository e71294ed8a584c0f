/* D_QM208X: host interface of the QM-208X VESK camera driver.
 *
 * A host loads the module, then calls, in this order: d_Initialize, d_SetupCCD,
 * d_GetOK, the identity and mode queries, d_Subframe, d_GetWidth/d_GetHeight, and
 * for each frame d_StartExposure, d_IsExposing until it returns 0, d_StartDownload,
 * d_ReadImage, d_EndDownload; d_Finalize last. One call at a time.
 *
 * Every integer argument and result is 32 bits wide. Texts returned are static,
 * NUL-terminated, and the same pointer on every call; the host never frees them. */
#ifndef D_QM208X_H
#define D_QM208X_H

#include <stdint.h>

#if defined(_WIN32)
#define QM_CALL __cdecl
#if defined(QM_BUILDING_DRIVER)
#define QM_API __declspec(dllexport)
#else
#define QM_API __declspec(dllimport)
#endif
#else
#define QM_CALL
#define QM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* "QM-208X VESK driver v1.00". */
QM_API const char *QM_CALL d_GetName(void);
/* "Vantrel CCD". */
QM_API const char *QM_CALL d_GetInfo(void);
/* Obtains the zero-filled frame buffer once (kept by later calls). 1, or 0 when
 * the buffer cannot be obtained. The argument is ignored. */
QM_API int32_t QM_CALL d_Initialize(int32_t unused);
/* Opens and primes the camera. quiet == 0 shows a message box with the outcome.
 * Always 1: the outcome is read with d_GetOK. */
QM_API int32_t QM_CALL d_SetupCCD(int32_t quiet);
/* 1 while the camera is connected, else 0. */
QM_API int32_t QM_CALL d_GetOK(void);
/* 5. */
QM_API int32_t QM_CALL d_BinningCount(void);
/* Name of mode 0..4; NULL above 4. */
QM_API const char *QM_CALL d_BinningName(uint32_t mode);
/* Selects a binning mode and a window given in parts of 100000 of the sensor.
 * 1 when mode is 0..4; 0 otherwise (the rejected mode is kept and exposures are
 * refused until a valid call). */
QM_API int32_t QM_CALL d_Subframe(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                  uint32_t mode);
/* Width and height of the host image in binned pixels. Arguments ignored. */
QM_API int32_t QM_CALL d_GetWidth(int32_t unused);
QM_API int32_t QM_CALL d_GetHeight(int32_t unused);
/* 1 while the selected mode is 0..4, else 0. */
QM_API int32_t QM_CALL d_IsColor(void);
/* Moves the window one binned pixel: 1 down the raw rows (y+1), 2 y-1, 3 x-1,
 * 4 x+1; other codes do nothing. Always 1. */
QM_API int32_t QM_CALL d_MoveFrame(int32_t direction);
/* Starts an exposure of `length` milliseconds. 1 when started; 0 while one is
 * active, when the selected mode is invalid, or without a frame buffer. */
QM_API int32_t QM_CALL d_StartExposure(int32_t length, int32_t unused);
/* 1 (after a 200 ms pause) while the frame is pending; 0 once it is complete
 * or when no exposure is active. */
QM_API int32_t QM_CALL d_IsExposing(void);
/* 1; does not end the exposure. */
QM_API int32_t QM_CALL d_InterruptExposure(void);
/* 1. */
QM_API int32_t QM_CALL d_StartDownload(void);
/* Converts the frame into `image`, which holds d_GetWidth() x d_GetHeight()
 * samples. Never writes outside those samples nor reads outside the frame
 * buffer, whatever the window. Always 1. */
QM_API int32_t QM_CALL d_ReadImage(uint16_t *image);
/* 1. */
QM_API int32_t QM_CALL d_EndDownload(int32_t unused);
/* 0: the camera reports no temperature. */
QM_API int32_t QM_CALL d_GetTemperature(void);
/* Stops the camera when connected, releases the frame buffer. Always 1. */
QM_API int32_t QM_CALL d_Finalize(void);

#ifdef __cplusplus
}
#endif

#endif
