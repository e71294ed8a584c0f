// Where a program finds the driver module D_QM208X.
//
// Contract: every program calls findDriverModule with what its user gave and
// loads the path it returns. One order for all: the program's --driver option,
// then the environment variable QM_DRIVER_MODULE, then the program's
// configuration file (where it has one), then the module beside the running
// program, then the installed one. Empty values count as not given. A name the
// user gave without a folder means the file in the working folder (on Linux
// "./" is put in front), never a search of the loader's path. The source says
// which step chose it, for the program's log line.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

enum class ModuleSource { Option, Environment, Configuration, BesideProgram, Installed };

struct ModuleChoice {
    std::string path;
    ModuleSource source = ModuleSource::Installed;
};

// What the user gave: empty for not given.
struct ModuleRequest {
    std::string option;      // --driver
    std::string configured;  // the program's configuration file
};

ModuleChoice findDriverModule(const ModuleRequest &request);

// A few words for the source ("--driver", "QM_DRIVER_MODULE", ...).
const char *describeModuleSource(ModuleSource source);

// The search with the world stood in for (tests): the environment's value, the
// running program's folder (empty when unknown), the installed modules in the
// order tried, and how to tell whether a file exists. Without any installed
// module present, the first installed one is chosen, for the refusal to name
// (on Windows the bare name, for the loader's search order).
struct ModuleSearch {
    std::string environment;
    std::filesystem::path programFolder;
    std::vector<std::filesystem::path> installed;
    std::function<bool(const std::filesystem::path &)> exists;
};
ModuleChoice findDriverModule(const ModuleRequest &request, const ModuleSearch &search);

// The module beside the running program when it exists, else the installed one
// (the last two steps of the order above).
std::string defaultDriverModulePath();
