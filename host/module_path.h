// Where a host finds the driver module when the user names none.
#pragma once

#include <string>

// The module (D_QM208X.so, on Windows D_QM208X.dll) beside the running program
// when that file exists (a build tree, an unpacked Windows zip), otherwise the
// installed module (lib/qm208x/D_QM208X.so under the prefix), or on Windows the
// bare name for the loader's search order.
std::string defaultDriverModulePath();
