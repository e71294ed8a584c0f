// A 32-bit Windows host of our own: loads D_QM208X.dll with LoadLibraryA, looks up
// the twenty exports with GetProcAddress, and runs the host contract against the
// simulated camera (CCDVideoAPI.dll beside it) in every binning mode, quietly.
// Also reads the module's version record as Explorer and installers do.
//
//   wine_host [module]           run the checks; ends with "N passed, M failed"
//   wine_host --setup-box        d_SetupCCD with quiet 0: shows the outcome box
//
// The module defaults to D_QM208X.dll in this program's folder. Exposures are
// instant with QM_SIM_TIME_SCALE=0 in the environment.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/driver_api.h"
#include "tests/support/window_cases.h"

namespace {

constexpr int32_t kExposureMs = 100;
// d_IsExposing pauses 200 ms per pending answer: a bound of a minute.
constexpr int kMaxPolls = 300;
constexpr uint16_t kSentinel = 0xA5C3;
constexpr size_t kGuardSamples = 64;

class Checks {
public:
    void expect(bool ok, const std::string &what, const std::string &detail = {}) {
        if (ok) {
            ++passed_;
            return;
        }
        ++failed_;
        std::printf("FAIL %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    void expectEqual(long long got, long long want, const std::string &what) {
        expect(got == want, what,
               "got " + std::to_string(got) + ", expected " + std::to_string(want));
    }
    void expectText(const char *got, const char *want, const std::string &what) {
        const bool same = got == nullptr || want == nullptr ? got == want
                                                             : std::strcmp(got, want) == 0;
        std::string detail = "got ";
        detail += quoted(got);
        detail += ", expected ";
        detail += quoted(want);
        expect(same, what, detail);
    }
    int summary() const {
        std::printf("%d passed, %d failed\n", passed_, failed_);
        return failed_ == 0 ? 0 : 1;
    }

private:
    static std::string quoted(const char *text) {
        if (text == nullptr) {
            return "null";
        }
        std::string result = "\"";
        result += text;
        result += '"';
        return result;
    }

    int passed_ = 0;
    int failed_ = 0;
};

std::string folderOfThisProgram() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    const size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

// Calls `function` (cdecl or not) with `count` zero arguments and returns how
// many bytes of arguments were still on the stack when it returned: 4 x count
// for __cdecl, whose caller pops, 0 for __stdcall, whose callee pops.
extern "C" uint32_t qm_argumentBytesLeft(void *function, uint32_t count);
asm(R"(
    .text
    .globl _qm_argumentBytesLeft
_qm_argumentBytesLeft:
    push %esi
    mov 8(%esp), %eax
    mov 12(%esp), %ecx
    mov %esp, %esi
1:  test %ecx, %ecx
    jz 2f
    pushl $0
    dec %ecx
    jmp 1b
2:  call *%eax
    mov %esi, %eax
    sub %esp, %eax
    mov %esi, %esp
    pop %esi
    ret
)");

void checkCallingConvention(Checks &checks, const DriverApi &api) {
    // All arguments zero: no effect on a fresh module (d_Subframe sets mode 0 and
    // the empty window, which it already holds; direction 0 moves nothing).
    const struct {
        const char *name;
        void *function;
        uint32_t arguments;
    } cases[] = {
        {"d_Subframe", reinterpret_cast<void *>(api.Subframe), 5},
        {"d_MoveFrame", reinterpret_cast<void *>(api.MoveFrame), 1},
        {"d_GetWidth", reinterpret_cast<void *>(api.GetWidth), 1},
        {"d_GetHeight", reinterpret_cast<void *>(api.GetHeight), 1},
        {"d_EndDownload", reinterpret_cast<void *>(api.EndDownload), 1},
    };
    for (const auto &entry : cases) {
        checks.expectEqual(qm_argumentBytesLeft(entry.function, entry.arguments),
                           4 * entry.arguments,
                           std::string(entry.name) + " is __cdecl (argument bytes the caller pops)");
    }
}

void checkFreshModule(Checks &checks, const DriverApi &api) {
    checks.expectEqual(api.GetOK(), 0, "fresh module: d_GetOK");
    checks.expectEqual(api.GetWidth(7), 0, "fresh module: d_GetWidth");
    checks.expectEqual(api.GetHeight(-7), 0, "fresh module: d_GetHeight");
    checks.expectEqual(api.IsColor(), 1, "fresh module: d_IsColor");
    checks.expectEqual(api.IsExposing(), 0, "fresh module: d_IsExposing");
    checks.expectEqual(api.GetTemperature(), 0, "fresh module: d_GetTemperature");
    checks.expectEqual(api.BinningCount(), 5, "fresh module: d_BinningCount");
}

void checkIdentity(Checks &checks, const DriverApi &api) {
    checks.expectText(api.GetName(), "QM-208X VESK driver v1.00", "d_GetName");
    checks.expectText(api.GetInfo(), "Vantrel CCD", "d_GetInfo");
    checks.expect(api.GetName() == api.GetName(), "d_GetName returns the same pointer");
    checks.expect(api.GetInfo() == api.GetInfo(), "d_GetInfo returns the same pointer");

    const struct {
        uint32_t mode;
        const char *name;
    } names[] = {
        {0, "4x4 HW bw"},   {1, "4x4 SW cl/bw"}, {2, "2x2 SW cl/bw"},
        {3, "2x2 HW bw"},   {4, "1x1 HW cl/bw"}, {5, nullptr},
        {0xFFFFFFFFu, nullptr},
    };
    for (const auto &entry : names) {
        checks.expectText(api.BinningName(entry.mode), entry.name,
                          "d_BinningName(" + std::to_string(entry.mode) + ")");
    }
}

// One capture by the contract: exposure, poll to completion, readout. Returns
// the image (without its guard) or nothing when a step was refused.
bool capture(Checks &checks, const DriverApi &api, const std::string &label,
             std::vector<uint16_t> &image) {
    const int32_t width = api.GetWidth(0);
    const int32_t height = api.GetHeight(0);
    checks.expectEqual(api.StartExposure(kExposureMs, 0), 1, label + ": d_StartExposure");
    checks.expectEqual(api.StartExposure(kExposureMs, 0), 0,
                       label + ": d_StartExposure while one is active");
    int polls = 0;
    while (api.IsExposing() != 0 && polls < kMaxPolls) {
        ++polls;
    }
    checks.expect(polls < kMaxPolls, label + ": d_IsExposing reaches 0",
                  "still exposing after " + std::to_string(polls) + " polls");
    if (polls >= kMaxPolls) {
        return false;
    }
    checks.expectEqual(api.StartDownload(), 1, label + ": d_StartDownload");

    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint16_t> buffer(samples + kGuardSamples, kSentinel);
    checks.expectEqual(api.ReadImage(buffer.data()), 1, label + ": d_ReadImage");
    checks.expectEqual(api.EndDownload(0), 1, label + ": d_EndDownload");

    size_t guardTouched = 0;
    for (size_t i = samples; i < buffer.size(); ++i) {
        guardTouched += buffer[i] != kSentinel ? 1 : 0;
    }
    checks.expectEqual(static_cast<long long>(guardTouched), 0,
                       label + ": samples written past width x height");
    size_t nonZero = 0;
    size_t untouched = 0;
    for (size_t i = 0; i < samples; ++i) {
        nonZero += buffer[i] != 0 ? 1 : 0;
        untouched += buffer[i] == kSentinel ? 1 : 0;
    }
    checks.expect(nonZero > 0, label + ": image is not all zero");
    // A sample may equal the sentinel by chance; a region left unwritten would not.
    checks.expect(untouched < samples / 100 + 1, label + ": every sample written",
                  std::to_string(untouched) + " of " + std::to_string(samples) +
                      " samples still hold the fill value");
    std::printf("%s: %dx%d, %d polls, %zu non-zero samples\n", label.c_str(), width, height,
                polls, nonZero);
    buffer.resize(samples);
    image = std::move(buffer);
    return true;
}

std::string describe(const WindowCase &entry) {
    return "mode " + std::to_string(entry.mode) + " window " + std::to_string(entry.x) + "," +
           std::to_string(entry.y) + " " + std::to_string(entry.width) + "x" +
           std::to_string(entry.height);
}

void checkCaptures(Checks &checks, const DriverApi &api) {
    for (const WindowCase &entry : kWindowCases) {
        const std::string label = describe(entry);
        checks.expectEqual(api.Subframe(entry.x, entry.y, entry.width, entry.height, entry.mode),
                           1, label + ": d_Subframe");
        checks.expectEqual(api.GetWidth(0), entry.expectedWidth, label + ": d_GetWidth");
        checks.expectEqual(api.GetHeight(0), entry.expectedHeight, label + ": d_GetHeight");
        checks.expectEqual(api.IsColor(), 1, label + ": d_IsColor");
        std::vector<uint16_t> image;
        capture(checks, api, label, image);
    }
}

// Two readouts of one mode-4 frame: the window 252, 511, 1024 x 768 is the block
// of the full image that starts at row 257 (output rows run from the highest raw
// row down, and the full window starts at raw row 1536), column 252.
void checkWindowOfOneFrame(Checks &checks, const DriverApi &api) {
    std::vector<uint16_t> full;
    checks.expectEqual(api.Subframe(0, 0, 100000, 100000, 4), 1, "one frame: full window");
    if (!capture(checks, api, "one frame, full window", full)) {
        return;
    }
    checks.expectEqual(api.Subframe(12345, 33333, 50000, 50000, 4), 1, "one frame: window");
    const int32_t width = api.GetWidth(0);
    const int32_t height = api.GetHeight(0);
    std::vector<uint16_t> window(static_cast<size_t>(width) * height + kGuardSamples, kSentinel);
    checks.expectEqual(api.ReadImage(window.data()), 1, "one frame: d_ReadImage of the window");
    size_t mismatches = 0;
    for (int32_t row = 0; row < height; ++row) {
        for (int32_t column = 0; column < width; ++column) {
            const uint16_t expected = full[static_cast<size_t>(257 + row) * 2048 + 252 + column];
            mismatches += window[static_cast<size_t>(row) * width + column] != expected ? 1 : 0;
        }
    }
    checks.expectEqual(static_cast<long long>(mismatches), 0,
                       "one frame: window samples that differ from the full image");
    // The full window's first row is the zero-filled row just past the frame.
    size_t nonZeroFirstRow = 0;
    for (size_t column = 0; column < 2048; ++column) {
        nonZeroFirstRow += full[column] != 0 ? 1 : 0;
    }
    checks.expectEqual(static_cast<long long>(nonZeroFirstRow), 0,
                       "one frame: non-zero samples in row 0 of the full window");
}

void checkRefusedMode(Checks &checks, const DriverApi &api) {
    checks.expectEqual(api.Subframe(0, 0, 100000, 100000, 2), 1, "before mode 5: d_Subframe");
    for (const uint32_t mode : {5u, 0xFFFFFFFFu}) {
        const std::string label = "mode " + std::to_string(mode);
        checks.expectEqual(api.Subframe(0, 0, 50000, 50000, mode), 0, label + ": d_Subframe");
        checks.expectEqual(api.IsColor(), 0, label + ": d_IsColor");
        checks.expectEqual(api.GetWidth(0), 1024, label + ": d_GetWidth keeps the window");
        checks.expectEqual(api.GetHeight(0), 768, label + ": d_GetHeight keeps the window");
        checks.expectEqual(api.StartExposure(kExposureMs, 0), 0, label + ": d_StartExposure");
        checks.expectEqual(api.IsExposing(), 0, label + ": d_IsExposing");
        std::vector<uint16_t> image(1024 * 768, kSentinel);
        checks.expectEqual(api.ReadImage(image.data()), 1, label + ": d_ReadImage");
        size_t written = 0;
        for (const uint16_t sample : image) {
            written += sample != kSentinel ? 1 : 0;
        }
        checks.expectEqual(static_cast<long long>(written), 0,
                           label + ": samples d_ReadImage wrote");
    }
    checks.expectEqual(api.Subframe(0, 0, 100000, 100000, 4), 1, "after mode 5: d_Subframe(4)");
    checks.expectEqual(api.IsColor(), 1, "after mode 5: d_IsColor");
    std::vector<uint16_t> image;
    capture(checks, api, "after mode 5, mode 4", image);
}

std::string versionString(const std::vector<char> &record, const char *name) {
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    void *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(record.data(), key.c_str(), &value, &length) || value == nullptr) {
        return "(missing)";
    }
    return std::string(static_cast<const char *>(value));
}

void checkVersionRecord(Checks &checks, const std::string &modulePath) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(modulePath.c_str(), &handle);
    checks.expect(size > 0, "version record present", "GetFileVersionInfoSizeA gave 0");
    if (size == 0) {
        return;
    }
    std::vector<char> record(size);
    checks.expect(GetFileVersionInfoA(modulePath.c_str(), 0, size, record.data()) != 0,
                  "version record readable");

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    const bool haveFixed =
        VerQueryValueA(record.data(), "\\", reinterpret_cast<void **>(&fixed), &length) &&
        fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO);
    checks.expect(haveFixed, "version record: fixed part");
    if (haveFixed) {
        checks.expectEqual(fixed->dwSignature, 0xFEEF04BD, "version record: signature");
        checks.expectEqual(fixed->dwFileVersionMS, 0x00010000, "file version 1.0 (high)");
        checks.expectEqual(fixed->dwFileVersionLS, 0x00000001, "file version 0.1 (low)");
        checks.expectEqual(fixed->dwProductVersionMS, 0x00010000, "product version 1.0 (high)");
        checks.expectEqual(fixed->dwProductVersionLS, 0x00000001, "product version 0.1 (low)");
        checks.expectEqual(fixed->dwFileType, VFT_DLL, "file type DLL");
    }

    WORD *translation = nullptr;
    const bool haveTranslation =
        VerQueryValueA(record.data(), "\\VarFileInfo\\Translation",
                       reinterpret_cast<void **>(&translation), &length) &&
        translation != nullptr && length >= 4;
    checks.expect(haveTranslation, "version record: translation");
    if (haveTranslation) {
        checks.expectEqual(translation[0], 0x0409, "translation language");
        checks.expectEqual(translation[1], 0x04B0, "translation code page");
    }

    const struct {
        const char *name;
        const char *value;
    } strings[] = {
        {"InternalName", "D_QM208X"},
        {"OriginalFilename", "D_QM208X.DLL"},
        {"FileDescription", "D_QM208X DLL"},
        {"ProductName", "D_QM208X Dynamic Link Library"},
        {"FileVersion", "1, 0, 0, 1"},
        {"ProductVersion", "1, 0, 0, 1"},
    };
    for (const auto &entry : strings) {
        checks.expectText(versionString(record, entry.name).c_str(), entry.value,
                          std::string("version string ") + entry.name);
    }
}

int runChecks(const std::string &modulePath) {
    Checks checks;
    DriverModule module;
    std::string error;
    const bool loaded = loadDriver(modulePath, module, error);
    checks.expect(loaded, "LoadLibraryA and the twenty GetProcAddress", error);
    if (!loaded) {
        return checks.summary();
    }
    checks.expect(GetModuleHandleA("CCDVideoAPI.dll") != nullptr,
                  "CCDVideoAPI.dll loaded as the module's import");
    checkCallingConvention(checks, module.api);
    checkFreshModule(checks, module.api);
    checkIdentity(checks, module.api);

    const DriverApi &api = module.api;
    checks.expectEqual(api.Initialize(0), 1, "d_Initialize");
    checks.expectEqual(api.Initialize(12), 1, "second d_Initialize");
    checks.expectEqual(api.SetupCCD(1), 1, "d_SetupCCD(1)");
    checks.expectEqual(api.GetOK(), 1, "d_GetOK after setup");
    checkIdentity(checks, api);
    checkCaptures(checks, api);
    checkWindowOfOneFrame(checks, api);
    checkRefusedMode(checks, api);
    checks.expectEqual(api.InterruptExposure(), 1, "d_InterruptExposure");
    checks.expectEqual(api.GetTemperature(), 0, "d_GetTemperature");
    checks.expectEqual(api.Finalize(), 1, "d_Finalize");
    checks.expectEqual(api.GetOK(), 0, "d_GetOK after d_Finalize");
    checks.expectEqual(api.Finalize(), 1, "second d_Finalize");
    unloadDriver(module);
    checks.expect(!driverIsLoaded(modulePath), "FreeLibrary unloads the module");

    checkVersionRecord(checks, modulePath);
    return checks.summary();
}

// The interactive path: the outcome box of d_SetupCCD, shown by USER32.
int showSetupBox(const std::string &modulePath) {
    DriverModule module;
    std::string error;
    if (!loadDriver(modulePath, module, error)) {
        std::fprintf(stderr, "wine_host: %s\n", error.c_str());
        return 2;
    }
    module.api.Initialize(0);
    module.api.SetupCCD(0);
    std::printf("d_GetOK: %d\n", module.api.GetOK());
    module.api.Finalize();
    unloadDriver(module);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    bool setupBox = false;
    std::string modulePath = folderOfThisProgram() + "\\D_QM208X.dll";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--setup-box") {
            setupBox = true;
        } else if (!argument.empty() && argument[0] != '-') {
            modulePath = argument;
        } else {
            std::fprintf(stderr, "wine_host: unknown option %s (usage: wine_host [--setup-box] [module])\n",
                         argument.c_str());
            return 2;
        }
    }
    return setupBox ? showSetupBox(modulePath) : runChecks(modulePath);
}
