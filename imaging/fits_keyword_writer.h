// Writing a frame's keywords (imaging/fits_keywords.h) into a cfitsio file:
// qm-capture's FITS files and the INDI driver's addFITSKeywords. Each keyword
// replaces one of the same name already there. Linux builds only (cfitsio).
#pragma once

#include <fitsio.h>

#include <vector>

#include "imaging/fits_keywords.h"

// cfitsio's convention: nothing happens once `status` is non-zero.
void writeFitsKeywords(fitsfile *file, const std::vector<FitsKeyword> &keywords, int &status);
