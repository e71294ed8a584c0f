// The checks every client message passes before the INDI driver acts on it.
#include "indi/message_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace qmguard {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

template <typename Element>
void nameElement(Element &e, const char *name) {
    std::snprintf(e.name, sizeof e.name, "%s", name);
}

// A frame-like number vector: X 0..2047, WIDTH 1..2048, and OFFSET with an
// empty range (min == max), which means no range.
struct NumberProperty {
    INumber elements[3]{};
    INumberVectorProperty vector{};
    explicit NumberProperty(IPerm permission = IP_RW) {
        const struct {
            const char *name;
            double min, max;
        } table[] = {{"X", 0, 2047}, {"WIDTH", 1, 2048}, {"OFFSET", 0, 0}};
        for (int i = 0; i < 3; ++i) {
            nameElement(elements[i], table[i].name);
            elements[i].min = table[i].min;
            elements[i].max = table[i].max;
        }
        std::snprintf(vector.name, sizeof vector.name, "FRAME");
        vector.np = elements;
        vector.nnp = 3;
        vector.p = permission;
    }
};

// The names as libindi passes them: an array of C strings, any of which may be
// missing in a hostile call.
struct Names {
    std::vector<std::string> texts;
    std::vector<char *> pointers;
    explicit Names(std::vector<const char *> names) {
        texts.reserve(names.size());
        for (const char *n : names) {
            texts.emplace_back(n != nullptr ? n : "");
        }
        for (size_t i = 0; i < names.size(); ++i) {
            pointers.push_back(names[i] != nullptr ? texts[i].data() : nullptr);
        }
    }
    char *const *data() { return pointers.data(); }
    int size() const { return static_cast<int>(pointers.size()); }
};

struct NumberCase {
    const char *what;
    std::vector<const char *> names;
    std::vector<double> values;
    IPerm permission;
    const char *refusalMentions;  // nullptr: accepted
};

const NumberCase kNumberCases[] = {
    {"whole vector", {"X", "WIDTH", "OFFSET"}, {0, 2048, 7}, IP_RW, nullptr},
    {"one element", {"WIDTH"}, {1}, IP_RW, nullptr},
    {"range ends", {"X", "WIDTH"}, {2047, 1}, IP_RW, nullptr},
    {"order of the client's", {"OFFSET", "X"}, {1, 5}, IP_WO, nullptr},
    {"empty range is no range", {"OFFSET"}, {-1e300}, IP_RW, nullptr},
    {"unknown element", {"X", "NOPE"}, {0, 0}, IP_RW, "NOPE"},
    {"element twice", {"X", "X"}, {1, 2}, IP_RW, "twice"},
    {"more names than elements", {"X", "WIDTH", "OFFSET", "X"}, {0, 1, 0, 0}, IP_RW, "4"},
    {"no element", {}, {}, IP_RW, "no element"},
    {"missing name", {"X", nullptr}, {0, 0}, IP_RW, "no name"},
    {"not a number", {"WIDTH"}, {kNaN}, IP_RW, "finite"},
    {"infinite", {"X"}, {kInfinity}, IP_RW, "finite"},
    {"minus infinite on no range", {"OFFSET"}, {-kInfinity}, IP_RW, "finite"},
    {"below the range", {"WIDTH"}, {0}, IP_RW, "WIDTH"},
    {"above the range", {"X"}, {2048}, IP_RW, "X"},
    {"read-only property", {"X"}, {1}, IP_RO, "read-only"},
};

TEST(MessageGuard, NumbersAreNamedFiniteAndInRange) {
    for (const NumberCase &c : kNumberCases) {
        SCOPED_TRACE(c.what);
        NumberProperty property(c.permission);
        Names names(c.names);
        const Refusal refusal =
            checkNumbers(property.vector, c.values.data(), names.data(), names.size());
        if (c.refusalMentions == nullptr) {
            EXPECT_FALSE(refusal) << *refusal;
        } else {
            ASSERT_TRUE(refusal);
            EXPECT_NE(refusal->find(c.refusalMentions), std::string::npos) << *refusal;
            EXPECT_NE(refusal->find("FRAME"), std::string::npos) << *refusal;
        }
    }
}

TEST(MessageGuard, AHugeMessageIsRefusedByItsLength) {
    NumberProperty property;
    const std::vector<const char *> many(100000, "X");
    Names names(many);
    const std::vector<double> values(many.size(), 1);
    EXPECT_TRUE(checkNumbers(property.vector, values.data(), names.data(), names.size()));
}

struct SwitchProperty {
    ISwitch elements[3]{};
    ISwitchVectorProperty vector{};
    SwitchProperty(ISRule rule, IPerm permission) {
        const char *table[] = {"A", "B", "C"};
        for (int i = 0; i < 3; ++i) {
            nameElement(elements[i], table[i]);
            elements[i].s = i == 0 ? ISS_ON : ISS_OFF;
        }
        std::snprintf(vector.name, sizeof vector.name, "CHOICE");
        vector.sp = elements;
        vector.nsp = 3;
        vector.r = rule;
        vector.p = permission;
    }
};

struct SwitchCase {
    const char *what;
    ISRule rule;
    std::vector<const char *> names;
    std::vector<ISState> states;
    const char *refusalMentions;
};

const SwitchCase kSwitchCases[] = {
    {"one of many: one On", ISR_1OFMANY, {"B"}, {ISS_ON}, nullptr},
    {"one of many: whole vector",
     ISR_1OFMANY,
     {"A", "B", "C"},
     {ISS_OFF, ISS_OFF, ISS_ON},
     nullptr},
    {"one of many: none On", ISR_1OFMANY, {"A"}, {ISS_OFF}, "exactly one"},
    {"one of many: two On", ISR_1OFMANY, {"A", "C"}, {ISS_ON, ISS_ON}, "exactly one"},
    {"at most one: none On", ISR_ATMOST1, {"A", "B"}, {ISS_OFF, ISS_OFF}, nullptr},
    {"at most one: one On", ISR_ATMOST1, {"C"}, {ISS_ON}, nullptr},
    {"at most one: two On", ISR_ATMOST1, {"B", "C"}, {ISS_ON, ISS_ON}, "at most one"},
    {"any of many: all On", ISR_NOFMANY, {"A", "B", "C"}, {ISS_ON, ISS_ON, ISS_ON}, nullptr},
    {"unknown switch", ISR_1OFMANY, {"NOPE"}, {ISS_ON}, "NOPE"},
    {"switch twice", ISR_NOFMANY, {"A", "A"}, {ISS_ON, ISS_OFF}, "twice"},
    {"neither On nor Off", ISR_NOFMANY, {"A"}, {static_cast<ISState>(7)}, "neither"},
};

TEST(MessageGuard, SwitchesObeyTheirRule) {
    for (const SwitchCase &c : kSwitchCases) {
        SCOPED_TRACE(c.what);
        SwitchProperty property(c.rule, IP_RW);
        Names names(c.names);
        const Refusal refusal =
            checkSwitches(property.vector, c.states.data(), names.data(), names.size());
        if (c.refusalMentions == nullptr) {
            EXPECT_FALSE(refusal) << *refusal;
        } else {
            ASSERT_TRUE(refusal);
            EXPECT_NE(refusal->find(c.refusalMentions), std::string::npos) << *refusal;
        }
        // The check reads the property, never changes it.
        EXPECT_EQ(property.elements[0].s, ISS_ON);
        EXPECT_EQ(property.elements[1].s, ISS_OFF);
    }
}

struct TextCase {
    const char *what;
    std::vector<const char *> names;
    std::vector<std::string> texts;
    bool missingText;
    IPerm permission;
    const char *refusalMentions;
};

const TextCase kTextCases[] = {
    {"both texts", {"DIR", "PREFIX"}, {"/home/user/images", "IMAGE_XXX"}, false, IP_RW, nullptr},
    {"empty text", {"PREFIX"}, {""}, false, IP_RW, nullptr},
    {"longest text", {"DIR"}, {std::string(kMaxTextBytes, 'a')}, false, IP_RW, nullptr},
    {"too long", {"DIR"}, {std::string(kMaxTextBytes + 1, 'a')}, false, IP_RW, "longer"},
    {"no text", {"DIR"}, {""}, true, IP_RW, "no text"},
    {"unknown element", {"PATH"}, {"/tmp/module.so"}, false, IP_RW, "PATH"},
    {"read-only property", {"DIR"}, {"/tmp"}, false, IP_RO, "read-only"},
};

TEST(MessageGuard, TextsAreNamedAndOfSaneLength) {
    for (const TextCase &c : kTextCases) {
        SCOPED_TRACE(c.what);
        IText elements[2]{};
        nameElement(elements[0], "DIR");
        nameElement(elements[1], "PREFIX");
        ITextVectorProperty vector{};
        std::snprintf(vector.name, sizeof vector.name, "UPLOAD");
        vector.tp = elements;
        vector.ntp = 2;
        vector.p = c.permission;
        Names names(c.names);
        std::vector<std::string> texts = c.texts;
        std::vector<char *> pointers;
        for (std::string &t : texts) {
            pointers.push_back(c.missingText ? nullptr : t.data());
        }
        const Refusal refusal = checkTexts(vector, pointers.data(), names.data(), names.size());
        if (c.refusalMentions == nullptr) {
            EXPECT_FALSE(refusal) << *refusal;
        } else {
            ASSERT_TRUE(refusal);
            EXPECT_NE(refusal->find(c.refusalMentions), std::string::npos) << *refusal;
        }
    }
}

struct BlobCase {
    const char *what;
    const char *name;
    int size;
    int blobSize;
    const char *format;
    const char *refusalMentions;
};

// Longer than any format an INDI property holds (MAXINDIFORMAT is 64).
constexpr char kLongFormat[] =
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";

const BlobCase kBlobCases[] = {
    {"a file", "FILE", 4, 4, ".fits", nullptr},
    {"empty", "FILE", 0, 0, ".fits", nullptr},
    {"negative size", "FILE", -1, 4, ".fits", "negative"},
    {"negative data size", "FILE", 4, -4, ".fits", "negative"},
    {"no format", "FILE", 4, 4, nullptr, "format"},
    {"format too long", "FILE", 4, 4, kLongFormat, "format"},
    {"unknown element", "CCD1", 4, 4, ".fits", "CCD1"},
};

TEST(MessageGuard, BlobsHaveSizesAndAFormat) {
    for (const BlobCase &c : kBlobCases) {
        SCOPED_TRACE(c.what);
        IBLOB element{};
        nameElement(element, "FILE");
        IBLOBVectorProperty vector{};
        std::snprintf(vector.name, sizeof vector.name, "UPLOAD_FILE");
        vector.bp = &element;
        vector.nbp = 1;
        vector.p = IP_WO;
        Names names({c.name});
        char data[] = "abcd";
        char *blobs[] = {data};
        std::string format = c.format != nullptr ? c.format : "";
        char *formats[] = {c.format != nullptr ? format.data() : nullptr};
        const int sizes[] = {c.size};
        const int blobSizes[] = {c.blobSize};
        const Refusal refusal =
            checkBlobs(vector, sizes, blobSizes, blobs, formats, names.data(), names.size());
        if (c.refusalMentions == nullptr) {
            EXPECT_FALSE(refusal) << *refusal;
        } else {
            ASSERT_TRUE(refusal);
            EXPECT_NE(refusal->find(c.refusalMentions), std::string::npos) << *refusal;
        }
    }
}

// What libindi's handlers get after an admitted message: the whole vector in
// the property's order, the message's values over the current ones.
TEST(MessageGuard, AdmittedMessagesReachLibindiWhole) {
    const struct {
        const char *what;
        std::vector<const char *> names;
        std::vector<double> values;
        std::vector<double> whole;  // X, WIDTH, OFFSET
    } cases[] = {
        {"one element", {"WIDTH"}, {64}, {10, 64, 3}},
        {"the client's order", {"OFFSET", "X"}, {9, 8}, {8, 2048, 9}},
        {"whole vector", {"X", "WIDTH", "OFFSET"}, {1, 2, 3}, {1, 2, 3}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        NumberProperty property;
        property.elements[0].value = 10;
        property.elements[1].value = 2048;
        property.elements[2].value = 3;
        Names names(c.names);
        WholeNumbers whole = wholeNumbers(property.vector, c.values.data(), names.data(), names.size());
        EXPECT_EQ(whole.names, (std::vector<std::string>{"X", "WIDTH", "OFFSET"}));
        EXPECT_EQ(whole.values, c.whole);
        const std::vector<char *> pointers = pointersInto(whole.names);
        ASSERT_EQ(pointers.size(), 3u);
        EXPECT_STREQ(pointers[2], "OFFSET");
    }

    IText elements[3]{};
    nameElement(elements[0], "TELESCOPE");
    nameElement(elements[1], "ROTATOR");
    nameElement(elements[2], "FOCUSER");
    char mount[] = "Mount";
    elements[0].text = mount;
    elements[2].text = nullptr;  // never set
    ITextVectorProperty vector{};
    vector.tp = elements;
    vector.ntp = 3;
    Names names({"ROTATOR"});
    char rotator[] = "Rotator";
    char *texts[] = {rotator};
    WholeTexts whole = wholeTexts(vector, texts, names.data(), names.size());
    EXPECT_EQ(whole.names, (std::vector<std::string>{"TELESCOPE", "ROTATOR", "FOCUSER"}));
    EXPECT_EQ(whole.texts, (std::vector<std::string>{"Mount", "Rotator", ""}));
}

}  // namespace
}  // namespace qmguard
