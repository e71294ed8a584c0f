#include "host/module_path.h"

#include <cstdlib>
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

// A path the user gave, as the loader must see it.
std::string asGiven(const std::string &path) {
#if defined(_WIN32)
    return path;
#else
    // A bare file name means the file here, not a search of the library path.
    return path.find('/') == std::string::npos ? "./" + path : path;
#endif
}

ModuleSearch systemSearch() {
    ModuleSearch search;
    const char *environment = std::getenv("QM_DRIVER_MODULE");
    search.environment = environment != nullptr ? environment : "";
    std::error_code failure;
    const std::filesystem::path program = runningProgram(failure);
    if (!failure) {
        search.programFolder = program.parent_path();
    }
#if defined(_WIN32)
    // No install location on Windows: the loader's own search order.
    search.installed.emplace_back(kDriverFileName);
#else
    // The packages install under /usr whatever prefix the build was configured
    // for: a program in an installation's bin/ looks where that installation put
    // the module before looking under the configured prefix.
    if (!search.programFolder.empty() &&
        search.programFolder.filename() == QM_PROGRAM_FOLDER_NAME) {
        search.installed.push_back(
            (search.programFolder / QM_DRIVER_MODULE_FROM_PROGRAM / kDriverFileName)
                .lexically_normal());
    }
    search.installed.emplace_back(QM_INSTALLED_DRIVER_MODULE);
#endif
    search.exists = [](const std::filesystem::path &file) {
        std::error_code ignored;
        return std::filesystem::exists(file, ignored);
    };
    return search;
}

}  // namespace

ModuleChoice findDriverModule(const ModuleRequest &request, const ModuleSearch &search) {
    if (!request.option.empty()) {
        return {asGiven(request.option), ModuleSource::Option};
    }
    if (!search.environment.empty()) {
        return {asGiven(search.environment), ModuleSource::Environment};
    }
    if (!request.configured.empty()) {
        return {asGiven(request.configured), ModuleSource::Configuration};
    }
    if (!search.programFolder.empty()) {
        const std::filesystem::path beside = search.programFolder / kDriverFileName;
        if (search.exists(beside)) {
            return {beside.string(), ModuleSource::BesideProgram};
        }
    }
    for (const std::filesystem::path &candidate : search.installed) {
        if (search.exists(candidate)) {
            return {candidate.string(), ModuleSource::Installed};
        }
    }
    return {search.installed.empty() ? std::string(kDriverFileName)
                                     : search.installed.front().string(),
            ModuleSource::Installed};
}

ModuleChoice findDriverModule(const ModuleRequest &request) {
    return findDriverModule(request, systemSearch());
}

const char *describeModuleSource(ModuleSource source) {
    switch (source) {
        case ModuleSource::Option:
            return "--driver";
        case ModuleSource::Environment:
            return "QM_DRIVER_MODULE";
        case ModuleSource::Configuration:
            return "the configuration file";
        case ModuleSource::BesideProgram:
            return "beside the program";
        case ModuleSource::Installed:
            return "the installed module";
    }
    return "";
}

std::string defaultDriverModulePath() {
    ModuleSearch search = systemSearch();
    search.environment.clear();
    return findDriverModule({}, search).path;
}
