// Checks of a client's new values against the property the device defines,
// made before the base class or the driver acts on them. libindi hands a
// driver whatever element names, states and numbers the message held, and its
// own base classes trust them (one unknown element in CCD_CAPTURE_FORMAT is
// enough to index outside an array), so every incoming vector passes here
// first.
//
// Each check reads only the property's definition and the message; it returns
// why the message is refused, or nothing when it may go on. A message is
// refused as a whole: no element of it is applied.
#pragma once

#include <libindi/indiapi.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qmguard {

// Longest text element a client may send, in bytes: far beyond any path, name
// or FITS keyword value a client sets, far below what could hurt.
inline constexpr size_t kMaxTextBytes = 4096;
// Longest BLOB format a client may name ("*.fits.fz" and the like).
inline constexpr size_t kMaxBlobFormatBytes = MAXINDIFORMAT - 1;

using Refusal = std::optional<std::string>;

Refusal checkNumbers(const INumberVectorProperty &defined, const double values[],
                     char *const names[], int n);
// The switch rule is checked on what the message asks for: one-of-many needs
// exactly one switch turned On, at-most-one no more than one.
Refusal checkSwitches(const ISwitchVectorProperty &defined, const ISState states[],
                      char *const names[], int n);
Refusal checkTexts(const ITextVectorProperty &defined, char *const texts[], char *const names[],
                   int n);
Refusal checkBlobs(const IBLOBVectorProperty &defined, const int sizes[], const int blobSizes[],
                   char *const blobs[], char *const formats[], char *const names[], int n);

// An admitted message made whole, for libindi's base classes: some of their
// handlers read a vector by position and take every element to be there
// (2.x's CCD reads all five ACTIVE_DEVICES from any message, past the end of a
// shorter one). Every element of the property, in the property's order: the
// message's value where it names the element, the current value elsewhere.
struct WholeNumbers {
    std::vector<std::string> names;
    std::vector<double> values;
};
struct WholeTexts {
    std::vector<std::string> names;
    std::vector<std::string> texts;
};
WholeNumbers wholeNumbers(const INumberVectorProperty &defined, const double values[],
                          char *const names[], int n);
WholeTexts wholeTexts(const ITextVectorProperty &defined, char *const texts[], char *const names[],
                      int n);
// The array of C strings a libindi handler takes, pointing into `strings`.
std::vector<char *> pointersInto(std::vector<std::string> &strings);

// Whether `value` may be sent for an element ranging min..max: finite, and
// within the range unless the range is empty (min >= max), which INDI reads
// as no range at all.
bool numberAllowed(double value, double min, double max);

}  // namespace qmguard
