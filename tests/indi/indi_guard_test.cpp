// Messages no well-behaved client sends, through a real indiserver: each is
// refused or ignored, and the driver goes on serving the same connection.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "tests/indi/indi_camera_fixture.h"
#include "tests/indi/raw_indi_connection.h"

namespace qmindi {
namespace {

// Ends once the driver has read everything sent before it on `raw`: the
// driver answers a getProperties for one property on the same connection, in
// order.
bool driverCaughtUp(RawIndiConnection &raw, int timeoutMs) {
    return raw.send(std::string("<getProperties version='1.7' device='") + kDevice +
                    "' name='CONNECTION'/>\n") &&
           raw.readUntil(
               std::string("defSwitchVector device=\"") + kDevice + "\" name=\"CONNECTION\"",
               timeoutMs);
}

std::string newVector(const std::string &kind, const std::string &device, const std::string &name,
                      const std::string &elements) {
    return "<new" + kind + "Vector device='" + xmlEscaped(device) + "' name='" + xmlEscaped(name) +
           "'>" + elements + "</new" + kind + "Vector>\n";
}

std::string oneElement(const std::string &kind, const std::string &name, const std::string &value) {
    return "<one" + kind + " name='" + xmlEscaped(name) + "'>" + xmlEscaped(value) + "</one" +
           kind + ">";
}

// One malformed message and what the driver must do with it: answer
// `property` in `state` with the reason, or, when `property` is empty, nothing
// a client sees but perhaps a message.
struct Malformed {
    const char *what;
    std::string message;
    const char *property;
    IPState state = IPS_ALERT;
};

std::vector<Malformed> malformedMessages() {
    const std::string d = kDevice;
    return {
        // Killed the driver inside libindi 1.9.9's CCD base class.
        {"capture format naming no element of it",
         newVector("Switch", d, "CCD_CAPTURE_FORMAT", oneElement("Switch", "NOPE", "On")),
         "CCD_CAPTURE_FORMAT"},
        {"binning element twice",
         newVector("Number", d, "CCD_BINNING",
                   oneElement("Number", "HOR_BIN", "2") + oneElement("Number", "HOR_BIN", "1")),
         "CCD_BINNING"},
        {"connect and disconnect both On",
         newVector(
             "Switch", d, "CONNECTION",
             oneElement("Switch", "CONNECT", "On") + oneElement("Switch", "DISCONNECT", "On")),
         "CONNECTION", IPS_OK},  // an Alert would read as a lost connection
        {"frame type with no switch On",
         newVector("Switch", d, "CCD_FRAME_TYPE", oneElement("Switch", "FRAME_LIGHT", "Off")),
         "CCD_FRAME_TYPE"},
        {"frame with an infinite width",
         newVector("Number", d, "CCD_FRAME", oneElement("Number", "WIDTH", "1e400")), "CCD_FRAME"},
        {"binning not a number",
         newVector("Number", d, "CCD_BINNING", oneElement("Number", "HOR_BIN", "nan")),
         "CCD_BINNING"},
        {"upload directory of 5000 bytes",
         newVector("Text", d, "UPLOAD_SETTINGS",
                   oneElement("Text", "UPLOAD_DIR", std::string(5000, 'd'))),
         "UPLOAD_SETTINGS"},
        // No client chooses where the driver writes a file.
        {"upload folder elsewhere",
         newVector("Text", d, "UPLOAD_SETTINGS", oneElement("Text", "UPLOAD_DIR", "/etc/cron.d")),
         "UPLOAD_SETTINGS"},
        {"upload prefix reaching into another folder",
         newVector("Text", d, "UPLOAD_SETTINGS",
                   oneElement("Text", "UPLOAD_PREFIX", "../../etc/cron.d/IMAGE_XXX")),
         "UPLOAD_SETTINGS"},
        {"recording folder elsewhere",
         newVector("Text", d, "RECORD_FILE", oneElement("Text", "RECORD_FILE_DIR", "/root")),
         "RECORD_FILE"},
        {"number vector for a switch property",
         newVector("Number", d, "CCD_COMPRESSION", oneElement("Number", "INDI_ENABLED", "1")),
         "CCD_COMPRESSION"},
        {"text vector for a number property",
         newVector("Text", d, "CCD_EXPOSURE", oneElement("Text", "CCD_EXPOSURE_VALUE", "1")),
         "CCD_EXPOSURE"},
        {"BLOB vector for a number property",
         "<newBLOBVector device='" + d +
             "' name='CCD_EXPOSURE'><oneBLOB name='CCD_EXPOSURE_VALUE' size='3' format='.bin' "
             "enclen='4'>YWJj</oneBLOB></newBLOBVector>\n",
         "CCD_EXPOSURE"},
        {"mode switch named twice, both On",
         newVector("Switch", d, "QM_BINNING_MODE",
                   oneElement("Switch", "MODE_0", "On") + oneElement("Switch", "MODE_0", "On")),
         "QM_BINNING_MODE"},
        {"ten thousand elements",
         [&] {
             std::string many;
             for (int i = 0; i < 10000; ++i) {
                 many += oneElement("Number", "HOR_BIN", "1");
             }
             return newVector("Number", d, "CCD_BINNING", many);
         }(),
         "CCD_BINNING"},
        {"exposure with no element", newVector("Number", d, "CCD_EXPOSURE", ""), ""},
        {"unknown property",
         newVector("Number", d, "NO_SUCH_PROPERTY", oneElement("Number", "X", "1")), ""},
        {"another device's property",
         newVector("Switch", "No Such Camera", "CONNECTION", oneElement("Switch", "CONNECT", "On")),
         ""},
        {"read-only property",
         newVector("Number", d, "CCD_INFO", oneElement("Number", "CCD_MAX_X", "1")), ""},
        {"not INDI at all", "<hello>there</hello>\n", ""},
    };
}

TEST_F(IndiCameraTest, MalformedMessagesAreRefusedAndTheDriverServesOn) {
    ASSERT_NO_FATAL_FAILURE(startConnected());
    const uint64_t connected = client().mark();
    RawIndiConnection raw(server().port());
    ASSERT_TRUE(raw.connected());
    const auto folders = [&] {
        const auto upload = client().property("UPLOAD_SETTINGS");
        const auto record = client().property("RECORD_FILE");
        return upload && record ? upload->text("UPLOAD_DIR") + "|" + record->text("RECORD_FILE_DIR") +
                                      "|" + upload->text("UPLOAD_PREFIX")
                                : std::string();
    };
    const std::string foldersBefore = folders();
    ASSERT_FALSE(foldersBefore.empty());
    for (const Malformed &m : malformedMessages()) {
        SCOPED_TRACE(m.what);
        const uint64_t since = client().mark();
        ASSERT_TRUE(raw.send(m.message));
        ASSERT_TRUE(driverCaughtUp(raw, 20000)) << "no answer after the message";
        if (*m.property != '\0') {
            const auto answer = client().waitFor(
                m.property, since, kRefusalTimeout,
                [](const PropertySnapshot &p) { return !p.removed && p.state != IPS_IDLE; });
            ASSERT_TRUE(answer) << "no answer on " << m.property << ": " << history(m.property);
            EXPECT_EQ(answer->state, m.state) << history(m.property);
            EXPECT_TRUE(client().waitForMessage(since, kRefusalTimeout, "Refused"))
                << "no reason given";
        }
        ASSERT_TRUE(server().allDriversRunning()) << server().log();
    }
    for (const PropertySnapshot &p : client().updatesSince("CONNECTION", connected)) {
        EXPECT_TRUE(p.on("CONNECT")) << "the device was disconnected";
    }
    const auto mode = client().property("QM_BINNING_MODE");
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->onElement(), "MODE_4") << "a refused message changed the mode";
    EXPECT_EQ(folders(), foldersBefore) << "a refused message changed where files go";
    const ReceivedImage image = expose(0.01);
    EXPECT_EQ(image.fits.width, kSensorWidth) << "CCD_EXPOSURE: " << history("CCD_EXPOSURE");
    EXPECT_EQ(image.fits.height, kSensorHeight);
}

// A client may send some elements of a vector. libindi 2.x's CCD reads
// ACTIVE_DEVICES by position from any message: it read past a shorter one, and
// took a device named as the one before it in the vector for no change.
TEST_F(IndiCameraTest, VectorsOfSomeElementsChangeJustThose) {
    ASSERT_NO_FATAL_FAILURE(startConnected());
    const auto defined = client().property("ACTIVE_DEVICES");
    ASSERT_TRUE(defined);
    ASSERT_GE(defined->elements.size(), 4u);
    std::map<std::string, std::string> expected;
    for (const Element &e : defined->elements) {
        expected[e.name] = e.text;
    }
    RawIndiConnection raw(server().port());
    ASSERT_TRUE(raw.connected());
    const auto send = [&](const std::string &element, const std::string &device) {
        expected[element] = device;
        return raw.send(newVector("Text", kDevice, "ACTIVE_DEVICES",
                                  oneElement("Text", element, device)));
    };
    const auto shown = [&] {
        const auto shows = [&](const PropertySnapshot &p) {
            return std::all_of(expected.begin(), expected.end(),
                               [&](const auto &e) { return p.text(e.first) == e.second; });
        };
        return client().waitUntil("ACTIVE_DEVICES", kRefusalTimeout, shows).has_value();
    };

    const std::string first = defined->elements[0].name;
    ASSERT_TRUE(send(first, "Mount A"));
    ASSERT_TRUE(send(defined->elements[1].name, "Mount A"));
    EXPECT_TRUE(shown()) << history("ACTIVE_DEVICES");
    for (int round = 0; round < 8; ++round) {
        for (const Element &e : defined->elements) {
            ASSERT_TRUE(send(e.name, "Device " + std::to_string(round) + " " + e.name));
        }
        ASSERT_TRUE(driverCaughtUp(raw, 20000)) << server().log();
        ASSERT_TRUE(server().allDriversRunning()) << server().log();
    }
    EXPECT_TRUE(shown()) << history("ACTIVE_DEVICES");
}

// The frame buffer sent as it is in the native transfer format is shared with
// indiserver and sealed read-only by libindi; the next frame once crashed the
// driver writing into it.
TEST_F(IndiCameraTest, ImagesSentInTheNativeFormatComeBackToBack) {
    ASSERT_NO_FATAL_FAILURE(startConnected());
    ASSERT_TRUE(client().sendSwitch("CCD_TRANSFER_FORMAT", "FORMAT_NATIVE"));
    ASSERT_TRUE(
        client().waitUntil("CCD_TRANSFER_FORMAT", kAnswerTimeout,
                           [](const PropertySnapshot &p) { return p.on("FORMAT_NATIVE"); }));
    for (int frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        ASSERT_TRUE(
            client().waitUntil("CCD_EXPOSURE", kAnswerTimeout,
                               [](const PropertySnapshot &p) { return p.state != IPS_BUSY; }));
        const uint64_t since = client().mark();
        ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", 0.01}}));
        const std::optional<Blob> image = client().waitForBlob(since, kAnswerTimeout);
        ASSERT_TRUE(image) << "no image\n" << server().log();
        EXPECT_EQ(image->format, ".bin");
        EXPECT_EQ(image->data.size(), static_cast<size_t>(kSensorWidth * kSensorHeight * 2));
        client().forgetBlobs(image->sequence);
    }
}

// Writes accepted by these would end the test's own conditions: CONNECTION
// disconnects, UPLOAD_MODE would save images where a fuzzed UPLOAD_SETTINGS
// points, RECORD_STREAM would record where a fuzzed RECORD_FILE_DIR points,
// streaming or a fast-exposure count would keep the camera busy for the rest
// of the run, and once the native transfer format has been chosen libindi
// 1.9.9 goes on sending native images after FITS is chosen again. libindi
// 1.9.9 frees a compressed image with the wrong deallocator, which
// AddressSanitizer stops the sanitized driver for. They still get every
// malformed message.
const std::set<std::string> kOnlyMalformed = {
    "CONNECTION",      "UPLOAD_MODE",         "RECORD_STREAM",  "CCD_VIDEO_STREAM",
    "CCD_FAST_TOGGLE", "CCD_TRANSFER_FORMAT", "CCD_COMPRESSION"};

// Random INDI messages for the properties a device defined when the run began,
// drawn from one seed, so a failing run repeats exactly.
class MessageFuzzer {
public:
    MessageFuzzer(uint64_t seed, std::vector<PropertySnapshot> properties) : random_(seed) {
        for (PropertySnapshot &p : properties) {
            if (p.type != INDI_BLOB) {
                properties_.push_back(std::move(p));
            }
        }
        for (const PropertySnapshot &p : properties_) {
            knownNames_.push_back(p.name);
            for (const Element &e : p.elements) {
                knownNames_.push_back(e.name);
            }
        }
    }

    std::string next() {
        const PropertySnapshot &p = properties_[below(properties_.size())];
        const bool onlyMalformed = kOnlyMalformed.count(p.name) != 0 || p.permission == IP_RO;
        // No BLOB vectors: indiserver 1.9.9 parses them itself and ends on some
        // (a negative size or length), and the device has no writable BLOB
        // property, so libindi never hands the driver one.
        switch (below(20)) {
            case 0:
                return newVector(kindOf(p), "Not " + std::string(kDevice), p.name,
                                 elements(p, false, false));
            case 1:
                // Another property's name on these elements: refused, whatever it names.
                return newVector(kindOf(p), kDevice, randomName(), elements(p, true, true));
            case 2:
                return newVector(otherKind(p), kDevice, p.name, elements(p, false, false));
            case 3:
                return newVector(kindOf(p), kDevice, p.name, "");
            default:
                break;
        }
        // Mostly messages a client could mean, half of them spoiled.
        const bool spoiled = below(2) == 0 || onlyMalformed;
        return newVector(kindOf(p), kDevice, p.name, elements(p, spoiled, onlyMalformed));
    }

private:
    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
    double uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random_);
    }

    static std::string kindOf(const PropertySnapshot &p) {
        switch (p.type) {
            case INDI_NUMBER:
                return "Number";
            case INDI_SWITCH:
                return "Switch";
            case INDI_TEXT:
                return "Text";
            case INDI_BLOB:
                return "BLOB";
            default:
                return "Light";
        }
    }
    std::string otherKind(const PropertySnapshot &p) {
        const char *kinds[] = {"Number", "Switch", "Text"};
        std::string kind = kinds[below(3)];
        return kind == kindOf(p) ? "Text" : kind;
    }

    std::string randomText(size_t maxLength) {
        static const std::string alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_ -./:&<>'\"\t\xc3\xa9";
        std::string text(below(maxLength + 1), ' ');
        for (char &c : text) {
            c = alphabet[below(alphabet.size())];
        }
        return text;
    }
    std::string randomName() {
        return below(2) == 0 ? knownNames_[below(knownNames_.size())] : randomText(80);
    }

    std::string number(const Element &e, bool spoiled) {
        if (!spoiled) {
            // Exposures accepted are short: the host waits out an exposure's
            // length before it looks for the frame, aborted or not.
            const double max = e.name == "CCD_EXPOSURE_VALUE" ? std::min(e.max, 0.1) : e.max;
            const double value = e.min < max ? uniform(e.min, max) : uniform(-1e6, 1e6);
            std::ostringstream text;
            text.precision(17);
            text << value;
            return text.str();
        }
        const char *odd[] = {"nan", "-nan", "inf",      "-inf", "1e400", "-1e400", "1e308",
                             "",    "abc",  "12:30:15", "-0",   "0x10",  "1e-320", "  7  "};
        switch (below(3)) {
            case 0:
                return odd[below(std::size(odd))];
            case 1:
                return std::to_string(e.max + 1 + uniform(0, 1e9));
            default:
                return std::to_string(e.min - 1 - uniform(0, 1e9));
        }
    }
    std::string switchState(bool spoiled) {
        if (spoiled && below(4) == 0) {
            const char *odd[] = {"", "on", "ON", "Onward", "Of", "maybe", "1"};
            return odd[below(std::size(odd))];
        }
        return below(2) == 0 ? "On" : "Off";
    }

    // The elements of one vector: the property's own, some or all, in the
    // property's order; spoiled, with unknown or repeated names, values out
    // of range or of the wrong form, or very many of them. One that must fail
    // also names an element the property lacks, in a form libindi passes on.
    std::string elements(const PropertySnapshot &p, bool spoiled, bool mustFail) {
        const std::string kind = kindOf(p);
        std::vector<std::string> names;
        for (const Element &e : p.elements) {
            if (below(4) != 0 || p.type == INDI_SWITCH) {
                names.push_back(e.name);
            }
        }
        if (names.empty() && !p.elements.empty()) {
            names.push_back(p.elements[below(p.elements.size())].name);
        }
        std::string on;
        if (p.type == INDI_SWITCH && !names.empty()) {
            // A message a client could mean obeys the rule: one On, or none
            // where at most one may be.
            on = names[below(names.size())];
            if (p.rule == ISR_ATMOST1 && below(3) == 0) {
                on.clear();
            }
        }
        if (spoiled) {
            switch (below(4)) {
                case 0:
                    names.insert(names.begin() + static_cast<long>(below(names.size() + 1)),
                                 randomName());
                    break;
                case 1:
                    if (!names.empty()) names.push_back(names[below(names.size())]);
                    break;
                case 2:
                    names.assign(50 + below(150), names.empty() ? "X" : names.front());
                    break;
                default:
                    break;  // the values spoil it
            }
        }
        std::string text;
        if (mustFail) {
            std::string stranger = randomName();
            while (p.find(stranger) != nullptr) {
                stranger += "_";
            }
            const std::string value = p.type == INDI_NUMBER   ? "1"
                                      : p.type == INDI_SWITCH ? "Off"
                                                              : "x";
            text += oneElement(kind, stranger, value);
        }
        for (const std::string &name : names) {
            const Element *e = p.find(name);
            const Element unknown{};
            std::string value;
            if (p.type == INDI_NUMBER) {
                value = number(e != nullptr ? *e : unknown, spoiled && below(2) == 0);
            } else if (p.type == INDI_SWITCH) {
                value = spoiled ? switchState(true) : (name == on ? "On" : "Off");
            } else {
                value =
                    spoiled && below(2) == 0 ? std::string(4097 + below(200), 'x') : randomText(64);
            }
            text += oneElement(kind, name, value);
        }
        return text;
    }

    std::mt19937_64 random_;
    std::vector<PropertySnapshot> properties_;
    std::vector<std::string> knownNames_;
};

uint64_t fuzzSeed() {
    const char *given = std::getenv("QM_INDI_FUZZ_SEED");
    if (given != nullptr && *given != '\0') {
        return std::strtoull(given, nullptr, 10);
    }
    return std::random_device{}();
}

int fuzzMessages() {
    const char *given = std::getenv("QM_INDI_FUZZ_MESSAGES");
    return given != nullptr && std::atoi(given) > 0 ? std::atoi(given) : 3000;
}

double meanOf(const std::vector<uint16_t> &pixels) {
    double sum = 0;
    for (uint16_t p : pixels) {
        sum += p;
    }
    return pixels.empty() ? 0 : sum / static_cast<double>(pixels.size());
}

// QM_INDI_FUZZ_SEED repeats a run, QM_INDI_FUZZ_MESSAGES sets its length
// (3000). Exposures the fuzzing starts are at most 0.1 s long; their images
// are dropped as they come.
TEST_F(IndiCameraTest, ThousandsOfRandomWritesLeaveTheDeviceConnectedAndServing) {
    const uint64_t seed = fuzzSeed();
    const int count = fuzzMessages();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (QM_INDI_FUZZ_SEED=" + std::to_string(seed) +
                 " repeats this run)");
    RecordProperty("seed", std::to_string(seed));
    ASSERT_NO_FATAL_FAILURE(startConnected());
    const ReceivedImage before = expose(0.01);
    ASSERT_EQ(before.fits.width, kSensorWidth);
    const uint64_t connected = client().mark();

    std::vector<PropertySnapshot> properties = client().properties();
    ASSERT_GT(properties.size(), 10u);
    // Switches a client could set, as they were, to be set back afterwards.
    std::vector<PropertySnapshot> switches;
    for (const PropertySnapshot &p : properties) {
        if (p.type == INDI_SWITCH && p.permission != IP_RO && p.name != "CONNECTION") {
            switches.push_back(p);
        }
    }

    MessageFuzzer fuzzer(seed, properties);
    RawIndiConnection raw(server().port());
    ASSERT_TRUE(raw.connected());
    std::deque<std::string> recent;  // for the failure message
    const auto sent = [&recent] {
        std::string text;
        for (const std::string &m : recent) {
            text += m.substr(0, 300) + (m.size() > 300 ? "...\n" : "");
        }
        return text;
    };
    constexpr int kBatch = 100;
    for (int i = 0; i < count; ++i) {
        const std::string message = fuzzer.next();
        recent.push_back(message);
        if (recent.size() > 20) {
            recent.pop_front();
        }
        ASSERT_TRUE(raw.send(message)) << "indiserver closed the connection; last sent:\n"
                                       << sent() << server().log();
        if ((i + 1) % kBatch == 0 || i + 1 == count) {
            ASSERT_TRUE(driverCaughtUp(raw, 30000))
                << "no answer after message " << i + 1 << "; last sent:\n"
                << sent() << "\n"
                << server().log();
            ASSERT_TRUE(server().allDriversRunning())
                << "after message " << i + 1 << "; last sent:\n"
                << sent() << "\n"
                << server().log();
            client().forgetBlobs(client().mark());
        }
    }

    // The same driver process, never restarted, on a connection that never dropped.
    EXPECT_FALSE(client().serverLost());
    const std::string log = server().log();
    size_t starts = 0;
    for (size_t at = log.find("pid="); at != std::string::npos; at = log.find("pid=", at + 1)) {
        ++starts;
    }
    EXPECT_EQ(starts, 1u) << log;
    for (const PropertySnapshot &p : client().updatesSince("CONNECTION", connected)) {
        ASSERT_TRUE(p.on("CONNECT")) << "the device was disconnected";
    }

    // Back to the first conditions: no exposure, the switches as they were,
    // the full frame; then an image like the first.
    ASSERT_TRUE(client().sendSwitch("CCD_ABORT_EXPOSURE", "ABORT"));
    for (const PropertySnapshot &p : switches) {
        if (kOnlyMalformed.count(p.name) == 0 && client().property(p.name)) {
            const std::string on = p.onElement();
            if (!on.empty()) {
                EXPECT_TRUE(client().sendSwitch(p.name, on)) << p.name;
            }
        }
    }
    ASSERT_TRUE(driverCaughtUp(raw, 30000));
    // The mode cannot change while an image the fuzzing asked for is still
    // being sent; once it is, the camera takes a mode again.
    ASSERT_NO_FATAL_FAILURE(selectMode(kModes[4], kAnswerTimeout));
    const Frame full = setFrame({0, 0, kSensorWidth, kSensorHeight});
    EXPECT_EQ(full.width, kSensorWidth);
    // An image of an exposure the fuzzing started may still arrive first: the
    // one asked for is known by its length, longer than any the fuzzing
    // starts and whole milliseconds, as EXPTIME gives the length taken.
    constexpr double kLength = 0.137;
    ASSERT_TRUE(client().waitUntil("CCD_EXPOSURE", kAnswerTimeout,
                                   [](const PropertySnapshot &p) { return p.state != IPS_BUSY; }));
    uint64_t since = client().mark();
    ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", kLength}}));
    ReceivedImage after;
    for (int leftovers = 0; leftovers < 4 && after.path.empty(); ++leftovers) {
        const std::optional<Blob> blob = client().waitForBlob(since, kAnswerTimeout);
        ASSERT_TRUE(blob) << "no image; CCD_EXPOSURE: " << history("CCD_EXPOSURE");
        since = blob->sequence;
        if (blob->format == ".fits") {
            ReceivedImage image = receiveImage(blob->sequence - 1);
            if (image.fits.has("EXPTIME") && image.fits.real("EXPTIME") == kLength) {
                after = image;
            }
        }
    }
    ASSERT_FALSE(after.path.empty()) << "no image of the exposure asked for";
    EXPECT_EQ(after.fits.width, kSensorWidth);
    EXPECT_EQ(after.fits.height, kSensorHeight);
    EXPECT_EQ(after.fits.bitpix, before.fits.bitpix);
    ASSERT_EQ(after.fits.pixels.size(), before.fits.pixels.size());
    const double expected = meanOf(before.fits.pixels);
    EXPECT_NEAR(meanOf(after.fits.pixels), expected, 0.05 * expected + 5);
}

}  // namespace
}  // namespace qmindi
