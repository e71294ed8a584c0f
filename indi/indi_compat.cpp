#include "indi/indi_compat.h"

#include "imaging/fits_keyword_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if QM_INDI_KEYWORD_RECORDS

namespace {

void replace(std::vector<INDI::FITSRecord> &records, INDI::FITSRecord record) {
    const auto same = std::find_if(records.begin(), records.end(), [&](const INDI::FITSRecord &r) {
        return r.type() != INDI::FITSRecord::COMMENT && r.key() == record.key();
    });
    if (same != records.end()) {
        *same = std::move(record);
    } else {
        records.push_back(std::move(record));
    }
}

}  // namespace

void FitsKeywords::put(const char *key, long value, const char *comment) {
    replace(records_, INDI::FITSRecord(key, static_cast<int64_t>(value), comment));
}

void FitsKeywords::put(const char *key, const std::string &value, const char *comment) {
    replace(records_, INDI::FITSRecord(key, value.c_str(), comment));
}

void FitsKeywords::put(const std::vector<FitsKeyword> &frameKeywords) {
    for (const FitsKeyword &k : frameKeywords) {
        const char *comment = k.comment.c_str();
        switch (k.kind) {
        case FitsKeyword::Kind::Text:
            replace(records_, INDI::FITSRecord(k.name.c_str(), k.text.c_str(), comment));
            break;
        case FitsKeyword::Kind::Integer:
            replace(records_, INDI::FITSRecord(k.name.c_str(), k.integer, comment));
            break;
        case FitsKeyword::Kind::Fixed:
        case FitsKeyword::Kind::Real:
            replace(records_, INDI::FITSRecord(k.name.c_str(), k.real, k.digits, comment));
            break;
        }
    }
}

void FitsKeywords::remove(const char *key) {
    std::erase_if(records_, [key](const INDI::FITSRecord &r) {
        return r.type() != INDI::FITSRecord::COMMENT && r.key() == key;
    });
}

void PortableCcd::addFITSKeywords(INDI::CCDChip *chip, std::vector<INDI::FITSRecord> &records) {
    INDI::CCD::addFITSKeywords(chip, records);
    FitsKeywords keywords(records);
    addDriverKeywords(chip, keywords);
}

void PortableCcd::setUploadDirectory(const char *folder) {
    UploadSettingsTP[UPLOAD_DIR].setText(folder);
}

const char *PortableCcd::colourFilterName() const { return BayerTP.getName(); }

void PortableCcd::setColourFilterPermission(IPerm permission) {
    BayerTP.setPermission(permission);
}

void PortableCcd::setColourFilter(int offsetX, int offsetY, const std::string &pattern) {
    BayerTP[0].setText(std::to_string(offsetX));
    BayerTP[1].setText(std::to_string(offsetY));
    BayerTP[2].setText(pattern);
    BayerTP.setState(IPS_OK);
}

void PortableCcd::defineColourFilter() { defineProperty(BayerTP); }

void PortableCcd::announceColourFilter() { BayerTP.apply(); }

#else

void FitsKeywords::note(int status) {
    if (status != 0 && error_.empty()) {
        char text[FLEN_STATUS];
        fits_get_errstatus(status, text);
        error_ = text;
    }
}

void FitsKeywords::put(const char *key, long value, const char *comment) {
    if (file_ == nullptr) {
        return;
    }
    int status = 0;
    fits_update_key(file_, TLONG, key, &value, comment, &status);
    note(status);
}

void FitsKeywords::put(const char *key, const std::string &value, const char *comment) {
    if (file_ == nullptr) {
        return;
    }
    int status = 0;
    fits_update_key(file_, TSTRING, key, const_cast<char *>(value.c_str()), comment, &status);
    note(status);
}

void FitsKeywords::put(const std::vector<FitsKeyword> &frameKeywords) {
    if (file_ == nullptr) {
        return;
    }
    int status = 0;
    writeFitsKeywords(file_, frameKeywords, status);
    note(status);
}

void FitsKeywords::remove(const char *key) {
    if (file_ == nullptr) {
        return;
    }
    // A keyword that is not there is already removed.
    int status = 0;
    fits_delete_key(file_, key, &status);
}

void PortableCcd::addFITSKeywords(INDI::CCDChip *chip) {
    INDI::CCD::addFITSKeywords(chip);
    FitsKeywords keywords(*chip->fitsFilePointer());
    addDriverKeywords(chip, keywords);
}

void PortableCcd::setUploadDirectory(const char *folder) {
    IUSaveText(&UploadSettingsT[UPLOAD_DIR], folder);
}

const char *PortableCcd::colourFilterName() const { return BayerTP.name; }

void PortableCcd::setColourFilterPermission(IPerm permission) { BayerTP.p = permission; }

void PortableCcd::setColourFilter(int offsetX, int offsetY, const std::string &pattern) {
    IUSaveText(&BayerT[0], std::to_string(offsetX).c_str());
    IUSaveText(&BayerT[1], std::to_string(offsetY).c_str());
    IUSaveText(&BayerT[2], pattern.c_str());
    BayerTP.s = IPS_OK;
}

void PortableCcd::defineColourFilter() { defineProperty(&BayerTP); }

void PortableCcd::announceColourFilter() { IDSetText(&BayerTP, nullptr); }

#endif
