#include "imaging/fits_keyword_writer.h"

void writeFitsKeywords(fitsfile *file, const std::vector<FitsKeyword> &keywords, int &status) {
    for (const FitsKeyword &k : keywords) {
        switch (k.kind) {
            case FitsKeyword::Kind::Text:
                fits_update_key_str(file, k.name.c_str(), k.text.c_str(), k.comment.c_str(),
                                    &status);
                break;
            case FitsKeyword::Kind::Integer:
                fits_update_key_lng(file, k.name.c_str(), k.integer, k.comment.c_str(), &status);
                break;
            case FitsKeyword::Kind::Fixed:
                fits_update_key_fixdbl(file, k.name.c_str(), k.real, k.digits, k.comment.c_str(),
                                       &status);
                break;
            case FitsKeyword::Kind::Real:
                // Negative decimals: that many significant digits, no trailing zeros.
                fits_update_key_dbl(file, k.name.c_str(), k.real, -k.digits, k.comment.c_str(),
                                    &status);
                break;
        }
    }
}
