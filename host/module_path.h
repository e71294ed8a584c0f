// Where a host finds the driver module when the user names none.
#pragma once

#include <string>

// The module (D_QM208X.so, on Windows D_QM208X.dll) beside the running program
// when that file exists (a build tree, an unpacked Windows zip). Otherwise, on
// Windows, the bare name for the loader's search order; elsewhere the installed
// module: for a program in an installation's bin/, the module of that
// installation (lib/<multiarch>/qm208x/D_QM208X.so beside bin/), wherever it
// was installed, then the one under the prefix the build was configured with.
// With neither present, the first of these, for the refusal to name.
std::string defaultDriverModulePath();
