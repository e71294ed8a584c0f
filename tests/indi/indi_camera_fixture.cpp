#include "tests/indi/indi_camera_fixture.h"

#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/capture/tool_runner.h"

namespace qmindi {

std::string driverUnderTest() {
    const char *given = std::getenv("QM_INDI_DRIVER");
    return given != nullptr && *given != '\0' ? given : QM_INDI_DRIVER_BUILT;
}

void IndiCameraTest::TearDown() { stopServer(); }

void IndiCameraTest::stopServer() {
    if (server_) {
        // Whatever a test did, the driver must still be there to serve.
        EXPECT_TRUE(server_->allDriversRunning()) << "indiserver log:\n" << server_->log();
        client_.reset();
        server_.reset();
    }
}

void IndiCameraTest::startServer(const std::map<std::string, std::string> &environment) {
    stopServer();
    ServerSettings settings{.drivers = {driverUnderTest()},
                            .environment = {{"QM_SIM_TIME_SCALE", "0"}},
                            .home = home_};
    for (const auto &[name, value] : environment) {
        settings.environment[name] = value;
    }
    server_ = std::make_unique<IndiServer>(settings);
    ASSERT_TRUE(server_->started()) << server_->error();
    client_ = std::make_unique<IndiTestClient>(kDevice);
    ASSERT_TRUE(client_->connectTo(server_->port(), kAnswerTimeout))
        << "no device " << kDevice << " from " << driverUnderTest() << "\n"
        << server_->log();
}

void IndiCameraTest::startConnected(const std::map<std::string, std::string> &environment) {
    ASSERT_NO_FATAL_FAILURE(startServer(environment));
    ASSERT_TRUE(client_->connectDevice(kAnswerTimeout)) << server_->log();
    ASSERT_NO_FATAL_FAILURE(waitForCameraProperties());
}

void IndiCameraTest::waitForCameraProperties() {
    // Defined first, filled in by the updates that follow.
    ASSERT_TRUE(client_->waitUntil("CCD_EXPOSURE", kAnswerTimeout));
    ASSERT_TRUE(client_->waitUntil("CCD_INFO", kAnswerTimeout, [](const PropertySnapshot &p) {
        return p.number("CCD_MAX_X") > 0;
    })) << "CCD_INFO never filled in";
    ASSERT_TRUE(client_->waitUntil("CCD_FRAME", kAnswerTimeout, [](const PropertySnapshot &p) {
        return p.number("WIDTH") > 0;
    })) << "CCD_FRAME never filled in";
    ASSERT_TRUE(client_->waitUntil("QM_BINNING_MODE", kAnswerTimeout,
                                   [](const PropertySnapshot &p) { return p.state == IPS_OK; }))
        << "no mode";
}

void IndiCameraTest::selectMode(const Mode &mode, Seconds refusedFor) {
    const auto deadline = Clock::now() + refusedFor;
    uint64_t since;
    std::optional<PropertySnapshot> answer;
    do {
        if (answer) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        since = client_->mark();
        ASSERT_TRUE(client_->sendSwitch("QM_BINNING_MODE", mode.element));
        // The answer is the first update showing the mode chosen, or a refusal.
        answer = client_->waitFor(
            "QM_BINNING_MODE", since, kAnswerTimeout, [&](const PropertySnapshot &p) {
                return p.state == IPS_ALERT || (p.state == IPS_OK && p.on(mode.element));
            });
        ASSERT_TRUE(answer) << "no answer to " << mode.element;
    } while (answer->state != IPS_OK && Clock::now() < deadline);
    ASSERT_EQ(answer->state, IPS_OK) << mode.element << [&] {
        std::string text;
        for (const Message &m : client_->messagesSince(since)) {
            text += "\n  " + m.text;
        }
        return text;
    }();
    // CCD_BINNING follows.
    ASSERT_TRUE(client_->waitUntil("CCD_BINNING", kAnswerTimeout, [&](const PropertySnapshot &p) {
        return p.number("HOR_BIN") == mode.binning && p.number("VER_BIN") == mode.binning;
    })) << "CCD_BINNING does not follow " << mode.element;
}

Frame IndiCameraTest::currentFrame() {
    const auto p = client_->property("CCD_FRAME");
    if (!p) {
        ADD_FAILURE() << "no CCD_FRAME";
        return {};
    }
    return {p->number("X"), p->number("Y"), p->number("WIDTH"), p->number("HEIGHT")};
}

Frame IndiCameraTest::setFrame(const Frame &f) {
    const uint64_t since = client_->mark();
    EXPECT_TRUE(client_->sendNumbers(
        "CCD_FRAME", {{"X", f.x}, {"Y", f.y}, {"WIDTH", f.width}, {"HEIGHT", f.height}}));
    // The answer: Alert, or Ok with a frame that covers the request and lies
    // within one rounding step of it (an update sent before may still arrive).
    const auto answer =
        client_->waitFor("CCD_FRAME", since, kAnswerTimeout, [&](const PropertySnapshot &p) {
            const double x = p.number("X"), y = p.number("Y");
            const double right = x + p.number("WIDTH"), bottom = y + p.number("HEIGHT");
            return p.state == IPS_ALERT ||
                   (p.state == IPS_OK && x <= f.x && y <= f.y && right >= f.x + f.width &&
                    bottom >= f.y + f.height && x > f.x - kLargestStep &&
                    y > f.y - kLargestStep && right < f.x + f.width + kLargestStep &&
                    bottom < f.y + f.height + kLargestStep);
        });
    if (!answer) {
        ADD_FAILURE() << "no answer to CCD_FRAME";
        return {};
    }
    EXPECT_EQ(answer->state, IPS_OK);
    return {answer->number("X"), answer->number("Y"), answer->number("WIDTH"),
            answer->number("HEIGHT")};
}

ReceivedImage IndiCameraTest::expose(double seconds) {
    // A client starts an exposure once the last one is over.
    EXPECT_TRUE(client_->waitUntil("CCD_EXPOSURE", kAnswerTimeout, [](const PropertySnapshot &p) {
        return p.state != IPS_BUSY;
    })) << "CCD_EXPOSURE stays Busy: " << history("CCD_EXPOSURE");
    const uint64_t since = client_->mark();
    EXPECT_TRUE(client_->sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", seconds}}));
    return receiveImage(since, kAnswerTimeout + Seconds(seconds));
}

std::string IndiCameraTest::setCamera(const std::string &word) {
    const std::string path = files_ / "camera-control";
    // Each word has its own length, so the camera sees the change even within
    // the file system's time resolution.
    std::ofstream(path) << word << "\n";
    return path;
}

std::string IndiCameraTest::history(const std::string &property) const {
    std::string text;
    for (const PropertySnapshot &p : client_->updatesSince(property, 0)) {
        text += std::string(p.removed ? "deleted" : stateName(p.state));
        for (const Element &e : p.elements) {
            text += " " + e.name + "=" +
                    (p.type == INDI_NUMBER ? std::to_string(e.number)
                     : p.type == INDI_TEXT ? e.text
                                           : std::string(e.on ? "On" : "Off"));
        }
        text += "; ";
    }
    return text;
}

ReceivedImage IndiCameraTest::receiveImage(uint64_t since, Seconds timeout) {
    ReceivedImage image;
    // A live-video frame sent before the stream stopped may still arrive; a
    // client tells it from an exposure's image by its ".stream" format.
    const auto deadline = Clock::now() + timeout;
    std::optional<Blob> blob;
    while (!blob || blob->format == ".stream") {
        if (blob) {
            since = blob->sequence;
        }
        const auto left = std::chrono::duration_cast<Seconds>(deadline - Clock::now());
        blob = client_->waitForBlob(since, std::max(left, Seconds(0)));
        if (!blob) {
            ADD_FAILURE() << "no image";
            return image;
        }
    }
    image.format = blob->format;
    image.path = files_ / ("image-" + std::to_string(++saved_) + ".fits");
    std::ofstream(image.path, std::ios::binary)
        .write(blob->data.data(), static_cast<std::streamsize>(blob->data.size()));
    client_->forgetBlobs(blob->sequence);
    image.fits = readFits(image.path);
    EXPECT_TRUE(image.fits.ok) << image.fits.error;
    return image;
}

void IndiCameraTest::expectRefused(const std::string &property,
                                   const std::function<bool()> &send) {
    const uint64_t since = client_->mark();
    ASSERT_TRUE(send()) << property << " not sent";
    const auto answer =
        client_->waitFor(property, since, kRefusalTimeout,
                         [](const PropertySnapshot &p) { return p.state == IPS_ALERT; });
    const auto last = client_->property(property);
    ASSERT_TRUE(answer) << "no Alert on " << property << "; its state is "
                        << (last ? stateName(last->state) : "undefined");
    EXPECT_FALSE(client_->messagesSince(since).empty()) << "no message for the refusal";
}

std::string fitsverifyProblems(const std::string &path) {
    TempDir dir;
    const ToolResult r = runProgram(QM_FITSVERIFY, {"-q", path}, dir.path(), {});
    if (r.exitCode == 0 && r.out.find("verification OK") != std::string::npos) {
        return {};
    }
    return r.out + r.err;
}

std::string patternAtOrigin(const std::string &pattern, int offsetX, int offsetY) {
    if (pattern.size() != 4) {
        return {};
    }
    std::string moved(4, '?');
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 2; ++column) {
            moved[static_cast<size_t>(row * 2 + column)] =
                pattern[static_cast<size_t>(((row + offsetY) & 1) * 2 + ((column + offsetX) & 1))];
        }
    }
    return moved;
}

}  // namespace qmindi

// libindi 1.9.9's client keeps each device and its properties in shared
// pointers that refer to each other, so none is ever freed: LeakSanitizer
// reports them all as indirect leaks of libindiclient. Nothing of this
// program's own is suppressed.
extern "C" __attribute__((visibility("default"))) const char *__lsan_default_suppressions() {
    return "leak:libindiclient.so\n";
}
