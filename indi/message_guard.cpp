#include "indi/message_guard.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

namespace qmguard {
namespace {

// The index of the property's element called `name`, else -1.
template <typename Element>
int elementNamed(const char *name, const Element *elements, int count) {
    for (int e = 0; e < count; ++e) {
        if (std::strncmp(name, elements[e].name, MAXINDINAME) == 0) {
            return e;
        }
    }
    return -1;
}

// The index of each named element in the property, or the refusal: the
// property is writable, the message names at least one element, and each name
// is one of the property's elements, named once.
template <typename Element>
std::optional<std::vector<int>> resolveNames(const char *property, IPerm permission,
                                             const Element *elements, int count,
                                             char *const names[], int n, Refusal &refusal) {
    const std::string what = std::string(property) + ": ";
    if (permission == IP_RO) {
        refusal = what + "the property is read-only.";
        return std::nullopt;
    }
    if (n <= 0 || names == nullptr) {
        refusal = what + "the message names no element.";
        return std::nullopt;
    }
    // More names than elements means a repeat or a stranger; either way the
    // message is refused before its length costs anything.
    if (count < 0 || n > count) {
        refusal = what + "the message names " + std::to_string(n) + " elements, the property has " +
                  std::to_string(count < 0 ? 0 : count) + ".";
        return std::nullopt;
    }
    std::vector<int> indices(static_cast<size_t>(n));
    std::vector<bool> named(static_cast<size_t>(count), false);
    for (int i = 0; i < n; ++i) {
        if (names[i] == nullptr) {
            refusal = what + "an element has no name.";
            return std::nullopt;
        }
        const int found = elementNamed(names[i], elements, count);
        if (found < 0) {
            refusal =
                what + "no element named \"" + std::string(names[i], strnlen(names[i], 64)) + "\".";
            return std::nullopt;
        }
        if (named[static_cast<size_t>(found)]) {
            refusal = what + "element " + elements[found].name + " is named twice.";
            return std::nullopt;
        }
        named[static_cast<size_t>(found)] = true;
        indices[static_cast<size_t>(i)] = found;
    }
    return indices;
}

// For each element of the property, where the message names it, else -1.
template <typename Element>
std::vector<int> positionsInMessage(const Element *elements, int count, char *const names[],
                                    int n) {
    std::vector<int> at(static_cast<size_t>(count), -1);
    for (int i = 0; i < n; ++i) {
        const int e = names[i] != nullptr ? elementNamed(names[i], elements, count) : -1;
        if (e >= 0) {
            at[static_cast<size_t>(e)] = i;
        }
    }
    return at;
}

}  // namespace

bool numberAllowed(double value, double min, double max) {
    if (!std::isfinite(value)) {
        return false;
    }
    return min >= max || (value >= min && value <= max);
}

Refusal checkNumbers(const INumberVectorProperty &defined, const double values[],
                     char *const names[], int n) {
    Refusal refusal;
    const auto indices =
        resolveNames(defined.name, defined.p, defined.np, defined.nnp, names, n, refusal);
    if (!indices) {
        return refusal;
    }
    for (size_t i = 0; i < indices->size(); ++i) {
        const INumber &element = defined.np[(*indices)[i]];
        if (!numberAllowed(values[i], element.min, element.max)) {
            char text[MAXINDINAME + 160];
            if (!std::isfinite(values[i])) {
                std::snprintf(text, sizeof text, "%s: %s must be a finite number.", defined.name,
                              element.name);
            } else {
                std::snprintf(text, sizeof text, "%s: %s = %g is outside %g to %g.", defined.name,
                              element.name, values[i], element.min, element.max);
            }
            return std::string(text);
        }
    }
    return std::nullopt;
}

Refusal checkSwitches(const ISwitchVectorProperty &defined, const ISState states[],
                      char *const names[], int n) {
    Refusal refusal;
    const auto indices =
        resolveNames(defined.name, defined.p, defined.sp, defined.nsp, names, n, refusal);
    if (!indices) {
        return refusal;
    }
    int on = 0;
    for (int i = 0; i < n; ++i) {
        // Read as its integer: a value outside the enumeration must not be
        // loaded as an ISState.
        std::underlying_type_t<ISState> state;
        std::memcpy(&state, &states[i], sizeof state);
        if (state != ISS_ON && state != ISS_OFF) {
            return std::string(defined.name) + ": a switch is neither On nor Off.";
        }
        on += state == ISS_ON;
    }
    const std::string what = std::string(defined.name) + ": ";
    if (defined.r == ISR_1OFMANY && on != 1) {
        return what + "exactly one switch must be On, the message turns " + std::to_string(on) +
               " On.";
    }
    if (defined.r == ISR_ATMOST1 && on > 1) {
        return what + "at most one switch may be On, the message turns " + std::to_string(on) +
               " On.";
    }
    return std::nullopt;
}

Refusal checkTexts(const ITextVectorProperty &defined, char *const texts[], char *const names[],
                   int n) {
    Refusal refusal;
    const auto indices =
        resolveNames(defined.name, defined.p, defined.tp, defined.ntp, names, n, refusal);
    if (!indices) {
        return refusal;
    }
    for (size_t i = 0; i < indices->size(); ++i) {
        const IText &element = defined.tp[(*indices)[i]];
        if (texts == nullptr || texts[i] == nullptr) {
            return std::string(defined.name) + ": " + element.name + " has no text.";
        }
        if (strnlen(texts[i], kMaxTextBytes + 1) > kMaxTextBytes) {
            return std::string(defined.name) + ": " + element.name + " is longer than " +
                   std::to_string(kMaxTextBytes) + " bytes.";
        }
    }
    return std::nullopt;
}

WholeNumbers wholeNumbers(const INumberVectorProperty &defined, const double values[],
                          char *const names[], int n) {
    WholeNumbers whole;
    const std::vector<int> at = positionsInMessage(defined.np, defined.nnp, names, n);
    for (int e = 0; e < defined.nnp; ++e) {
        const int i = at[static_cast<size_t>(e)];
        whole.names.emplace_back(defined.np[e].name);
        whole.values.push_back(i >= 0 ? values[i] : defined.np[e].value);
    }
    return whole;
}

WholeTexts wholeTexts(const ITextVectorProperty &defined, char *const texts[], char *const names[],
                      int n) {
    WholeTexts whole;
    const std::vector<int> at = positionsInMessage(defined.tp, defined.ntp, names, n);
    for (int e = 0; e < defined.ntp; ++e) {
        const int i = at[static_cast<size_t>(e)];
        const char *text = i >= 0 ? texts[i] : defined.tp[e].text;
        whole.names.emplace_back(defined.tp[e].name);
        whole.texts.emplace_back(text != nullptr ? text : "");
    }
    return whole;
}

std::vector<char *> pointersInto(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    pointers.reserve(strings.size());
    for (std::string &s : strings) {
        pointers.push_back(s.data());
    }
    return pointers;
}

Refusal checkBlobs(const IBLOBVectorProperty &defined, const int sizes[], const int blobSizes[],
                   char *const blobs[], char *const formats[], char *const names[], int n) {
    Refusal refusal;
    const auto indices =
        resolveNames(defined.name, defined.p, defined.bp, defined.nbp, names, n, refusal);
    if (!indices) {
        return refusal;
    }
    for (size_t i = 0; i < indices->size(); ++i) {
        const std::string what = std::string(defined.name) + ": " + defined.bp[(*indices)[i]].name;
        if (sizes[i] < 0 || blobSizes[i] < 0 || (blobSizes[i] > 0 && blobs[i] == nullptr)) {
            return what + " has a negative size or no data.";
        }
        if (formats[i] == nullptr ||
            strnlen(formats[i], kMaxBlobFormatBytes + 1) > kMaxBlobFormatBytes) {
            return what + " has no format, or one longer than " +
                   std::to_string(kMaxBlobFormatBytes) + " bytes.";
        }
    }
    return std::nullopt;
}

}  // namespace qmguard
