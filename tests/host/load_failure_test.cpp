// What a host says when the module cannot be loaded: the loader's own words,
// and for a missing camera SDK library, where to get it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/driver_api.h"

namespace {

constexpr const char *kModule = "/usr/lib/x86_64-linux-gnu/qm208x/D_QM208X.so";
constexpr const char *kMaker = "camera maker's installation";
constexpr const char *kSimulation = "the package qm208x-simulated-camera";

struct LoadFailureCase {
    const char *name;
    std::string loaderMessage;
    std::vector<std::string> says;
    std::vector<std::string> doesNotSay;
};

TEST(LoadFailure, NamesTheMissingLibraryAndItsSource) {
    const std::string module = kModule;
    const std::vector<LoadFailureCase> cases = {
        {"sdk missing",
         "libCCDVideoAPI.so: cannot open shared object file: No such file or directory",
         {module, "camera SDK library libCCDVideoAPI.so", kMaker, kSimulation},
         {}},
        {"versioned sdk name",
         "libCCDVideoAPI.so.1: cannot open shared object file: No such file or directory",
         {"libCCDVideoAPI.so.1", kMaker, kSimulation},
         {}},
        {"module itself missing",
         module + ": cannot open shared object file: No such file or directory",
         {module + ": cannot open shared object file"},
         {kMaker, kSimulation, "needs"}},
        {"platform library missing",
         "libqm_platform.so: cannot open shared object file: No such file or directory",
         {module + " needs libqm_platform.so", "No such file or directory"},
         {kMaker, kSimulation}},
        {"sdk of the wrong architecture",
         "/opt/sdk/libCCDVideoAPI.so: wrong ELF class: ELFCLASS32",
         {"wrong ELF class"},
         {kSimulation}},
        {"undefined symbol",
         module + ": undefined symbol: YCCDInitialVideo",
         {"undefined symbol: YCCDInitialVideo"},
         {kSimulation}},
        {"no loader message", "", {"cannot load " + module}, {kSimulation}},
    };
    for (const LoadFailureCase &c : cases) {
        const std::string said = describeLoadFailure(module, c.loaderMessage);
        EXPECT_EQ(said.find('\n'), std::string::npos) << c.name << ": not one line: " << said;
        for (const std::string &part : c.says) {
            EXPECT_NE(said.find(part), std::string::npos)
                << c.name << ": '" << said << "' lacks '" << part << "'";
        }
        for (const std::string &part : c.doesNotSay) {
            EXPECT_EQ(said.find(part), std::string::npos)
                << c.name << ": '" << said << "' says '" << part << "'";
        }
    }
}

}  // namespace
