// The host's view of the driver: the twenty exports looked up by name in a
// module loaded at run time, as an imaging application does it.
#pragma once

#include <string>

#include "D_QM208X.h"

// clang-format off
#define QM_DRIVER_EXPORTS(X)                                                                  \
    X(GetName) X(GetInfo) X(Initialize) X(SetupCCD) X(GetOK) X(BinningCount) X(BinningName) \
    X(Subframe) X(GetWidth) X(GetHeight) X(IsColor) X(MoveFrame) X(StartExposure)            \
    X(IsExposing) X(InterruptExposure) X(StartDownload) X(ReadImage) X(EndDownload)          \
    X(GetTemperature) X(Finalize)
// clang-format on

struct DriverApi {
#define QM_DRIVER_FIELD(name) decltype(&::d_##name) name = nullptr;
    QM_DRIVER_EXPORTS(QM_DRIVER_FIELD)
#undef QM_DRIVER_FIELD
};

struct DriverModule {
    void *handle = nullptr;
    DriverApi api;
};

// Loads the module at `path` and looks up all twenty exports. On failure returns
// false with a one-line reason in `error` (the loader's message, with what to
// install when a library the module needs is missing, or the first missing
// export by name) and leaves nothing loaded.
bool loadDriver(const std::string &path, DriverModule &module, std::string &error);

// The one-line reason for a module at `path` that the dynamic loader refused
// with `loaderMessage` (dlerror's text). A missing camera SDK library says where
// it comes from: the camera maker's installation or, without the camera, the
// simulated camera's package.
std::string describeLoadFailure(const std::string &path, const std::string &loaderMessage);

// Unloads a module loaded by loadDriver.
void unloadDriver(DriverModule &module);

// True when the module at `path` is currently loaded in this process.
bool driverIsLoaded(const std::string &path);
