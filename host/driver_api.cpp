#include "host/driver_api.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#if defined(_WIN32)
void *openModule(const std::string &path) { return LoadLibraryA(path.c_str()); }
void *findSymbol(void *handle, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void closeModule(void *handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
std::string loaderError(const std::string &path) {
    return "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
}
#else
void *openModule(const std::string &path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void *findSymbol(void *handle, const char *name) { return dlsym(handle, name); }
void closeModule(void *handle) { dlclose(handle); }
std::string loaderError(const std::string &) {
    const char *message = dlerror();
    return message != nullptr ? message : "cannot load driver";
}
#endif

}  // namespace

bool loadDriver(const std::string &path, DriverModule &module, std::string &error) {
    void *handle = openModule(path);
    if (handle == nullptr) {
        error = loaderError(path);
        return false;
    }
    DriverApi api;
#define QM_LOOKUP(name)                                                                   \
    api.name = reinterpret_cast<decltype(api.name)>(findSymbol(handle, "d_" #name));      \
    if (api.name == nullptr) {                                                            \
        error = path + " does not export d_" #name;                                       \
        closeModule(handle);                                                              \
        return false;                                                                     \
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
