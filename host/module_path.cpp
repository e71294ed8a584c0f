#include "host/module_path.h"

#include <filesystem>
#include <system_error>

namespace {

constexpr const char *kDriverFileName = "D_QM208X.so";

}  // namespace

std::string defaultDriverModulePath() {
    std::error_code failure;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", failure);
    if (!failure) {
        const auto beside = program.parent_path() / kDriverFileName;
        if (std::filesystem::exists(beside, failure)) {
            return beside.string();
        }
    }
    return QM_INSTALLED_DRIVER_MODULE;
}
