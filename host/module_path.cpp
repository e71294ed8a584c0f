#include "host/module_path.h"

#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

#if defined(_WIN32)
constexpr const char *kDriverFileName = "D_QM208X.dll";

std::filesystem::path runningProgram(std::error_code &failure) {
    // Long enough for any path Windows hands a program (32767 wide characters).
    std::wstring buffer(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        failure = std::error_code(static_cast<int>(GetLastError()), std::system_category());
        return {};
    }
    buffer.resize(length);
    return buffer;
}
#else
constexpr const char *kDriverFileName = "D_QM208X.so";

std::filesystem::path runningProgram(std::error_code &failure) {
    return std::filesystem::read_symlink("/proc/self/exe", failure);
}
#endif

}  // namespace

std::string defaultDriverModulePath() {
    std::error_code failure;
    const auto program = runningProgram(failure);
    if (!failure) {
        const auto beside = program.parent_path() / kDriverFileName;
        if (std::filesystem::exists(beside, failure)) {
            return beside.string();
        }
    }
#if defined(_WIN32)
    // No install location on Windows: the loader's own search order.
    return kDriverFileName;
#else
    return QM_INSTALLED_DRIVER_MODULE;
#endif
}
