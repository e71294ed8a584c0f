#include "host/module_path.h"

#include <filesystem>
#include <system_error>
#include <vector>

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
    // The packages install under /usr whatever prefix the build was configured
    // for: a program in an installation's bin/ looks where that installation put
    // the module before looking under the configured prefix.
    std::vector<std::filesystem::path> installed;
    if (!failure && program.parent_path().filename() == QM_PROGRAM_FOLDER_NAME) {
        installed.push_back(
            (program.parent_path() / QM_DRIVER_MODULE_FROM_PROGRAM / kDriverFileName)
                .lexically_normal());
    }
    installed.emplace_back(QM_INSTALLED_DRIVER_MODULE);
    for (const std::filesystem::path &candidate : installed) {
        if (std::filesystem::exists(candidate, failure)) {
            return candidate.string();
        }
    }
    return installed.front().string();
#endif
}
