// FitsKeywords on the libindi it was built against: a header list (2.x) or an
// open FITS file (1.9). Either way, put() replaces, remove() drops, and every
// other keyword stays as libindi put it.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "indi/indi_compat.h"

namespace {

// A header that already holds libindi's keywords, and the driver's view of it.
class Header {
public:
#if QM_INDI_KEYWORD_RECORDS
    Header() {
        records_.emplace_back("EXPTIME", 1.5, 6, "seconds");
        records_.emplace_back("PIXSIZE1", 3.75, 6, "um");
        records_.emplace_back("a note from libindi");
        keywords_ = std::make_unique<FitsKeywords>(records_);
    }

    int count(const std::string &key) const {
        int n = 0;
        for (const INDI::FITSRecord &r : records_) {
            n += r.type() != INDI::FITSRecord::COMMENT && r.key() == key ? 1 : 0;
        }
        return n;
    }

    std::optional<std::string> value(const std::string &key) const {
        for (const INDI::FITSRecord &r : records_) {
            if (r.type() != INDI::FITSRecord::COMMENT && r.key() == key) {
                switch (r.type()) {
                case INDI::FITSRecord::LONGLONG:
                    return std::to_string(r.valueInt());
                case INDI::FITSRecord::DOUBLE: {
                    char text[32];
                    std::snprintf(text, sizeof text, "%g", r.valueDouble());
                    return std::string(text);
                }
                default:
                    return r.valueString();
                }
            }
        }
        return std::nullopt;
    }
#else
    Header() {
        int status = 0;
        long axes[2] = {4, 2};
        fits_create_file(&file_, "mem://", &status);
        fits_create_img(file_, USHORT_IMG, 2, axes, &status);
        double exposure = 1.5, pixel = 3.75;
        fits_update_key(file_, TDOUBLE, "EXPTIME", &exposure, "seconds", &status);
        fits_update_key(file_, TDOUBLE, "PIXSIZE1", &pixel, "um", &status);
        fits_write_comment(file_, "a note from libindi", &status);
        EXPECT_EQ(status, 0);
        keywords_ = std::make_unique<FitsKeywords>(file_);
    }
    ~Header() {
        int status = 0;
        fits_close_file(file_, &status);
    }

    int count(const std::string &key) const {
        int keys = 0, status = 0;
        fits_get_hdrspace(file_, &keys, nullptr, &status);
        int n = 0;
        for (int i = 1; i <= keys; ++i) {
            char name[FLEN_KEYWORD], value[FLEN_VALUE];
            fits_read_keyn(file_, i, name, value, nullptr, &status);
            n += key == name ? 1 : 0;
        }
        return n;
    }

    std::optional<std::string> value(const std::string &key) const {
        char text[FLEN_VALUE];
        int status = 0;
        fits_read_key(file_, TSTRING, key.c_str(), text, nullptr, &status);
        if (status != 0) {
            return std::nullopt;
        }
        return std::string(text);
    }
#endif

    FitsKeywords &keywords() { return *keywords_; }

private:
#if QM_INDI_KEYWORD_RECORDS
    std::vector<INDI::FITSRecord> records_;
#else
    fitsfile *file_ = nullptr;
#endif
    std::unique_ptr<FitsKeywords> keywords_;
};

struct Step {
    enum { PutNumber, PutText, Remove } action;
    const char *key;
    long number;
    const char *text;
};

struct Case {
    const char *name;
    std::vector<Step> steps;
    // The keywords afterwards: each key's value, or nullopt for none at all.
    std::vector<std::pair<const char *, std::optional<std::string>>> expected;
};

TEST(FitsKeywords, PutReplacesAndRemoveDropsOnlyTheirKey) {
    const Case cases[] = {
        {"a new number", {{Step::PutNumber, "BINMODE", 3, ""}}, {{"BINMODE", "3"}, {"EXPTIME", "1.5"}}},
        {"a new text",
         {{Step::PutText, "ROWORDER", 0, "TOP-DOWN"}},
         {{"ROWORDER", "TOP-DOWN"}, {"PIXSIZE1", "3.75"}}},
        {"a key put twice keeps the last",
         {{Step::PutNumber, "XORGSUBF", 8, ""}, {Step::PutNumber, "XORGSUBF", 16, ""}},
         {{"XORGSUBF", "16"}}},
        {"libindi's own key replaced",
         {{Step::PutText, "EXPTIME", 0, "long"}},
         {{"EXPTIME", "long"}, {"PIXSIZE1", "3.75"}}},
        {"libindi's key removed",
         {{Step::Remove, "PIXSIZE1", 0, ""}},
         {{"PIXSIZE1", std::nullopt}, {"EXPTIME", "1.5"}}},
        {"an absent key removed",
         {{Step::Remove, "XPIXSZ", 0, ""}},
         {{"XPIXSZ", std::nullopt}, {"EXPTIME", "1.5"}, {"PIXSIZE1", "3.75"}}},
        {"put then removed",
         {{Step::PutText, "DRIVER", 0, "D_QM208X"}, {Step::Remove, "DRIVER", 0, ""}},
         {{"DRIVER", std::nullopt}, {"EXPTIME", "1.5"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Header header;
        for (const Step &step : c.steps) {
            switch (step.action) {
            case Step::PutNumber:
                header.keywords().put(step.key, step.number, "a number");
                break;
            case Step::PutText:
                header.keywords().put(step.key, std::string(step.text), "a text");
                break;
            case Step::Remove:
                header.keywords().remove(step.key);
                break;
            }
        }
        EXPECT_EQ(header.keywords().error(), "");
        for (const auto &[key, value] : c.expected) {
            EXPECT_EQ(header.count(key), value ? 1 : 0) << key;
            if (value) {
                const std::optional<std::string> got = header.value(key);
                ASSERT_TRUE(got) << key;
                EXPECT_EQ(*got, *value) << key;
            }
        }
    }
}

}  // namespace
