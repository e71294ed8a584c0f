// The one order in which every program finds the driver module.
#include "host/module_path.h"

#include <gtest/gtest.h>

#include <set>

namespace {

#if defined(_WIN32)
constexpr const char *kFile = "D_QM208X.dll";
#else
constexpr const char *kFile = "D_QM208X.so";
#endif

}  // namespace

TEST(ModulePath, OptionThenEnvironmentThenConfigurationThenBesideThenInstalled) {
    const std::string beside = (std::filesystem::path("/opt/qm/bin") / kFile).string();
    const struct {
        const char *name;
        ModuleRequest request;
        std::string environment;
        std::set<std::string> present;  // files that exist
        ModuleChoice expected;
    } cases[] = {
        {"option first", {"/a/D.so", "/c/D.so"}, "/e/D.so", {beside, "/usr/D.so"},
         {"/a/D.so", ModuleSource::Option}},
        {"option even when missing", {"/a/none.so", ""}, "", {beside},
         {"/a/none.so", ModuleSource::Option}},
        {"environment over configuration", {"", "/c/D.so"}, "/e/D.so", {beside},
         {"/e/D.so", ModuleSource::Environment}},
        {"configuration over beside", {"", "/c/D.so"}, "", {beside},
         {"/c/D.so", ModuleSource::Configuration}},
        {"beside over installed", {}, "", {beside, "/usr/D.so"},
         {beside, ModuleSource::BesideProgram}},
        {"first installed present", {}, "", {"/usr/D.so"}, {"/usr/D.so", ModuleSource::Installed}},
        {"second installed present", {}, "", {"/usr/local/D.so"},
         {"/usr/local/D.so", ModuleSource::Installed}},
        {"nothing present names the first installed", {}, "", {},
         {"/usr/D.so", ModuleSource::Installed}},
#if !defined(_WIN32)
        {"bare option name is the working folder's", {"D_QM208X.so", ""}, "", {},
         {"./D_QM208X.so", ModuleSource::Option}},
        {"bare environment name too", {}, "mine.so", {}, {"./mine.so", ModuleSource::Environment}},
        {"bare configured name too", {"", "c.so"}, "", {}, {"./c.so", ModuleSource::Configuration}},
        {"relative path kept", {"build/D.so", ""}, "", {}, {"build/D.so", ModuleSource::Option}},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const ModuleSearch search{
            .environment = c.environment,
            .programFolder = "/opt/qm/bin",
            .installed = {"/usr/D.so", "/usr/local/D.so"},
            .exists = [&c](const std::filesystem::path &p) { return c.present.contains(p.string()); }};
        const ModuleChoice choice = findDriverModule(c.request, search);
        EXPECT_EQ(choice.path, c.expected.path);
        EXPECT_EQ(choice.source, c.expected.source) << describeModuleSource(choice.source);
    }
}

TEST(ModulePath, UnknownProgramFolderSkipsTheModuleBesideIt) {
    const ModuleSearch search{.environment = "",
                              .programFolder = "",
                              .installed = {"/usr/D.so"},
                              .exists = [](const std::filesystem::path &) { return true; }};
    EXPECT_EQ(findDriverModule({}, search).path, "/usr/D.so");
}
