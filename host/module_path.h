// Where a host finds D_QM208X.so when the user names none.
#pragma once

#include <string>

// D_QM208X.so beside the running program when that file exists (a build tree),
// otherwise the installed module (lib/qm208x/D_QM208X.so under the prefix).
std::string defaultDriverModulePath();
