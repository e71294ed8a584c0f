// The built module as a host's loader sees it: the dynamic symbol table and the
// load-time dependencies, read from the ELF file.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

struct DynamicSymbols {
    std::set<std::string> defined;    // global or weak, with a section
    std::set<std::string> undefined;  // bound from other modules
    std::vector<std::string> needed;  // DT_NEEDED, in order
};

std::vector<char> readFile(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
T at(const std::vector<char> &file, size_t offset) {
    T value;
    if (offset + sizeof(T) > file.size()) throw std::runtime_error("truncated ELF");
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

std::string stringAt(const std::vector<char> &file, size_t offset) {
    if (offset >= file.size()) throw std::runtime_error("bad string offset");
    return std::string(file.data() + offset, strnlen(file.data() + offset, file.size() - offset));
}

DynamicSymbols readDynamicSymbols(const char *path) {
    const std::vector<char> file = readFile(path);
    const auto header = at<Elf64_Ehdr>(file, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
        throw std::runtime_error("not a 64-bit ELF file");
    }
    std::vector<Elf64_Shdr> sections;
    for (int i = 0; i < header.e_shnum; ++i) {
        sections.push_back(at<Elf64_Shdr>(file, header.e_shoff + i * header.e_shentsize));
    }
    DynamicSymbols result;
    for (const Elf64_Shdr &section : sections) {
        const Elf64_Shdr &strings = sections.at(section.sh_link);
        if (section.sh_type == SHT_DYNSYM) {
            for (size_t i = 1; i < section.sh_size / sizeof(Elf64_Sym); ++i) {
                const auto symbol = at<Elf64_Sym>(file, section.sh_offset + i * sizeof(Elf64_Sym));
                const std::string name = stringAt(file, strings.sh_offset + symbol.st_name);
                const int binding = ELF64_ST_BIND(symbol.st_info);
                if (binding != STB_GLOBAL && binding != STB_WEAK) continue;
                (symbol.st_shndx == SHN_UNDEF ? result.undefined : result.defined).insert(name);
            }
        } else if (section.sh_type == SHT_DYNAMIC) {
            for (size_t i = 0; i < section.sh_size / sizeof(Elf64_Dyn); ++i) {
                const auto entry = at<Elf64_Dyn>(file, section.sh_offset + i * sizeof(Elf64_Dyn));
                if (entry.d_tag == DT_NEEDED) {
                    result.needed.push_back(stringAt(file, strings.sh_offset + entry.d_un.d_val));
                }
            }
        }
    }
    return result;
}

const std::set<std::string> kExports = {
    "d_GetName",     "d_GetInfo",       "d_Initialize",  "d_SetupCCD",        "d_GetOK",
    "d_BinningCount", "d_BinningName",  "d_Subframe",    "d_GetWidth",        "d_GetHeight",
    "d_IsColor",     "d_MoveFrame",     "d_StartExposure", "d_IsExposing",    "d_InterruptExposure",
    "d_StartDownload", "d_ReadImage",   "d_EndDownload", "d_GetTemperature",  "d_Finalize",
};

const char *const kSdkFunctions[] = {
    "YCCDInitialVideo", "YCCDStartView", "YCCDEnableAE",    "YCCDEnableAWB",
    "YCCDSetPreviewMode", "YCCDPauseView", "YCCDSetExposure", "YCCDSetColorGain",
    "YCCDGetImageData", "YCCDGetImageDataState", "YCCDStopView", "YCCDReleaseVideo",
};

}  // namespace

TEST(DriverModule, ExportsExactlyTheTwentyNames) {
    const DynamicSymbols symbols = readDynamicSymbols(QM_DRIVER_PATH);
    std::vector<std::string> extra, missing;
    std::set_difference(symbols.defined.begin(), symbols.defined.end(), kExports.begin(),
                        kExports.end(), std::back_inserter(extra));
    std::set_difference(kExports.begin(), kExports.end(), symbols.defined.begin(),
                        symbols.defined.end(), std::back_inserter(missing));
    EXPECT_TRUE(extra.empty()) << "extra exported symbol: " << extra.front();
    EXPECT_TRUE(missing.empty()) << "missing export: " << missing.front();
}

TEST(DriverModule, BindsTheSdkAndPlatformCallsAtLoadTime) {
    const DynamicSymbols symbols = readDynamicSymbols(QM_DRIVER_PATH);
    const auto needs = [&](const std::string &library) {
        return std::find(symbols.needed.begin(), symbols.needed.end(), library) != symbols.needed.end();
    };
    EXPECT_TRUE(needs("libCCDVideoAPI.so"));
    EXPECT_TRUE(needs(QM_PLATFORM_SONAME));
    for (const char *function : kSdkFunctions) {
        EXPECT_TRUE(symbols.undefined.count(function)) << function << " is not imported";
    }
    // Defined elsewhere, so that a host or a test can substitute them.
    for (const char *function : {"MessageBoxA", "Sleep"}) {
        EXPECT_TRUE(symbols.undefined.count(function)) << function << " is not imported";
        EXPECT_FALSE(symbols.defined.count(function)) << function << " is defined in the driver";
    }
}

TEST(DriverModule, SimulatedCameraExportsTheTwelveSdkFunctions) {
    const DynamicSymbols symbols = readDynamicSymbols(QM_SIMCAM_PATH);
    for (const char *function : kSdkFunctions) {
        EXPECT_TRUE(symbols.defined.count(function)) << function << " missing";
    }
}

// The readout's one-time choices are made when the module loads, and nothing
// else synchronises: no guard, lock or atomic is bound from another module.
TEST(DriverModule, BindsNoLockOrAtomic) {
    const DynamicSymbols symbols = readDynamicSymbols(QM_DRIVER_PATH);
    for (const std::string &name : symbols.undefined) {
        for (const char *prefix : {"__cxa_guard", "pthread_", "__atomic_", "sem_", "mtx_"}) {
            EXPECT_NE(name.rfind(prefix, 0), 0u) << name << " is imported";
        }
    }
}
