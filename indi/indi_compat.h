// What differs between libindi 1.9 and 2.x, in one place, so that the driver
// has one source for both. In 2.x the CCD base class's own properties are
// INDI::Property objects rather than C vectors, and the FITS header is a list
// of records that libindi writes after addFITSKeywords, rather than an open
// file written into.
#pragma once

#include <string>
#include <vector>

#include <libindi/indiapi.h>
#include <libindi/indiccd.h>
#include <libindi/sharedblob.h>

#include "imaging/fits_keywords.h"

#if INDI_VERSION_MAJOR >= 2
#define QM_INDI_KEYWORD_RECORDS 1
#include <libindi/fitskeyword.h>
#else
#define QM_INDI_KEYWORD_RECORDS 0
#endif

// libindi 1.9 has a thread other than the event loop wait for indiserver's
// answer to a BLOB by reading standard input itself, and that thread may sleep
// through the answer (stdin_relay.h). 2.x has it wait, with a time limit, for
// the event loop to take the answer in.
#define QM_INDI_STDIN_RELAY (INDI_VERSION_MAJOR < 2)

// The keywords a driver adds to a frame's FITS header after libindi's own.
// put() replaces a keyword already there; remove() drops it if present.
class FitsKeywords {
public:
#if QM_INDI_KEYWORD_RECORDS
    explicit FitsKeywords(std::vector<INDI::FITSRecord> &records) : records_(records) {}
#else
    // A null file takes nothing and reports no error.
    explicit FitsKeywords(fitsfile *file) : file_(file) {}
#endif

    void put(const char *key, long value, const char *comment);
    void put(const char *key, const std::string &value, const char *comment);
    // A frame's keywords as the image-products library gives them.
    void put(const std::vector<FitsKeyword> &frameKeywords);
    void remove(const char *key);
    // The first failure so far, else empty.
    const std::string &error() const { return error_; }

private:
#if QM_INDI_KEYWORD_RECORDS
    std::vector<INDI::FITSRecord> &records_;
#else
    fitsfile *file_;
    void note(int status);
#endif
    std::string error_;
};

// INDI::CCD with the members that changed shape reached the same way on both.
class PortableCcd : public INDI::CCD {
protected:
    // Called after the base class has put its keywords for a frame of `chip`.
    virtual void addDriverKeywords(INDI::CCDChip *chip, FitsKeywords &keywords) = 0;

#if QM_INDI_KEYWORD_RECORDS
    void addFITSKeywords(INDI::CCDChip *chip, std::vector<INDI::FITSRecord> &records) override;
#else
    void addFITSKeywords(INDI::CCDChip *chip) override;
#endif

    // UPLOAD_SETTINGS' UPLOAD_DIR, without telling clients.
    void setUploadDirectory(const char *folder);

    // CCD_CFA: its name, its permission, and its three texts (offsets and
    // pattern) set with state Ok, without telling clients.
    const char *colourFilterName() const;
    void setColourFilterPermission(IPerm permission);
    void setColourFilter(int offsetX, int offsetY, const std::string &pattern);
    void defineColourFilter();
    // Sends CCD_CFA's current texts and state to clients.
    void announceColourFilter();
};
