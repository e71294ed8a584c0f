#include "host/driver_api.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

constexpr const char *kSdkHint =
    "it comes with the camera maker's installation (put it on the loader's path, e.g. in "
    "/usr/local/lib, then run ldconfig); to try without the camera, install the package "
    "qm208x-simulated-camera";

#if defined(_WIN32)
void *openModule(const std::string &path) { return LoadLibraryA(path.c_str()); }
void *findSymbol(void *handle, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void closeModule(void *handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
std::string loaderError(const std::string &path) {
    const DWORD code = GetLastError();
    // ERROR_MOD_NOT_FOUND names no file: it is the module itself or a library it
    // imports. Loading the SDK the same way tells which.
    if (code == ERROR_MOD_NOT_FOUND &&
        GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        HMODULE sdk = LoadLibraryA("CCDVideoAPI.dll");
        if (sdk == nullptr) {
            return path +
                   " needs the camera SDK library CCDVideoAPI.dll, which was not found: it comes "
                   "with the camera maker's installation; to try without the camera, put the "
                   "simulated camera's CCDVideoAPI.dll beside the host program";
        }
        FreeLibrary(sdk);
    }
    return "cannot load " + path + " (error " + std::to_string(code) + ")";
}
#else
void *openModule(const std::string &path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void *findSymbol(void *handle, const char *name) { return dlsym(handle, name); }
void closeModule(void *handle) { dlclose(handle); }
std::string loaderError(const std::string &path) {
    const char *message = dlerror();
    return describeLoadFailure(path, message != nullptr ? message : "");
}
#endif

}  // namespace

std::string describeLoadFailure(const std::string &path, const std::string &loaderMessage) {
    if (loaderMessage.empty()) {
        return "cannot load " + path;
    }
    // glibc names the file it could not open first: the module itself, or a
    // library the module needs.
    const std::string notFound = ": cannot open shared object file";
    const size_t end = loaderMessage.find(notFound);
    if (end == std::string::npos || end == 0) {
        return loaderMessage;
    }
    const std::string missing = loaderMessage.substr(0, end);
    if (missing == path) {
        return loaderMessage;
    }
    if (missing.rfind("libCCDVideoAPI.so", 0) == 0) {
        return path + " needs the camera SDK library " + missing +
               ", which was not found: " + kSdkHint;
    }
    return path + " needs " + missing + ", which was not found (" + loaderMessage + ")";
}

bool loadDriver(const std::string &path, DriverModule &module, std::string &error) {
    void *handle = openModule(path);
    if (handle == nullptr) {
        error = loaderError(path);
        return false;
    }
    DriverApi api;
#define QM_LOOKUP(name)                                                              \
    api.name = reinterpret_cast<decltype(api.name)>(findSymbol(handle, "d_" #name)); \
    if (api.name == nullptr) {                                                       \
        error = path + " does not export d_" #name;                                  \
        closeModule(handle);                                                         \
        return false;                                                                \
    }
    QM_DRIVER_EXPORTS(QM_LOOKUP)
#undef QM_LOOKUP
    module.handle = handle;
    module.api = api;
    return true;
}

void unloadDriver(DriverModule &module) {
    if (module.handle != nullptr) {
        closeModule(module.handle);
    }
    module = DriverModule{};
}

bool driverIsLoaded(const std::string &path) {
#if defined(_WIN32)
    return GetModuleHandleA(path.c_str()) != nullptr;
#else
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
#endif
}
