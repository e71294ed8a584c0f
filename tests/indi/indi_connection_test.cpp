// Connecting indi_qm208x_ccd to the module and the camera, and what it offers
// once connected, through a real indiserver.
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/indi/indi_camera_fixture.h"

namespace qmindi {
namespace {

constexpr const char *kMissingModule = "/nonexistent/qm208x/D_QM208X.so";

TEST_F(IndiCameraTest, ConnectingOffersTheCameraAndNothingItCannotMeasure) {
    ASSERT_NO_FATAL_FAILURE(startConnected());
    const auto info = client().waitUntil("CCD_INFO", kAnswerTimeout);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->number("CCD_MAX_X"), kSensorWidth);
    EXPECT_EQ(info->number("CCD_MAX_Y"), kSensorHeight);
    EXPECT_EQ(info->number("CCD_BITSPERPIXEL"), 16);
    const Frame frame = currentFrame();
    EXPECT_EQ(frame.width, kSensorWidth);
    EXPECT_EQ(frame.height, kSensorHeight);

    const auto modes = client().property("QM_BINNING_MODE");
    ASSERT_TRUE(modes);
    EXPECT_EQ(modes->rule, ISR_1OFMANY);
    int on = 0;
    for (const Element &e : modes->elements) {
        on += e.on;
    }
    EXPECT_EQ(on, 1);

    const auto module = client().property("QM_DRIVER_MODULE");
    ASSERT_TRUE(module);
    EXPECT_NE(module->text("PATH").find("D_QM208X.so"), std::string::npos)
        << module->text("PATH");
    // The module reports no temperature: a fixed one would be a false reading.
    EXPECT_FALSE(client().property("CCD_TEMPERATURE"));
    EXPECT_FALSE(client().property("CCD_COOLER"));
}

// The device stays disconnected and says why.
struct RefusedConnection {
    const char *name;
    std::map<std::string, std::string> environment;
    std::vector<std::string> named;  // the message holds one of these
};

const RefusedConnection kRefusedConnections[] = {
    {"ModuleMissing", {{"QM_DRIVER_MODULE", kMissingModule}}, {kMissingModule}},
    // A module with 3 of the 20 exports: the message names one that is missing.
    {"ModuleLacksExports",
     {{"QM_DRIVER_MODULE", QM_PARTIAL_DRIVER}},
     {"d_BinningCount", "d_BinningName", "d_EndDownload", "d_Finalize", "d_GetHeight",
      "d_GetOK", "d_GetTemperature", "d_GetWidth", "d_InterruptExposure", "d_IsColor",
      "d_IsExposing", "d_MoveFrame", "d_ReadImage", "d_SetupCCD", "d_StartDownload",
      "d_StartExposure", "d_Subframe"}},
    {"NoCamera", {{"QM_SIM_FAULT", "no-camera"}}, {"camera", "Camera"}},
};

class RefusedConnections : public IndiCameraTest,
                           public ::testing::WithParamInterface<RefusedConnection> {};

TEST_P(RefusedConnections, LeaveTheDeviceDisconnectedWithAMessageNamingTheCause) {
    const RefusedConnection &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(startServer(c.environment));
    ASSERT_TRUE(client().waitUntil("CONNECTION", kAnswerTimeout));
    const uint64_t since = client().mark();
    ASSERT_TRUE(client().sendSwitch("CONNECTION", "CONNECT"));
    const auto answer =
        client().waitFor("CONNECTION", since, kAnswerTimeout,
                         [](const PropertySnapshot &p) { return p.state != IPS_BUSY; });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->state, IPS_ALERT);
    // Still disconnected a while later, with no camera properties.
    EXPECT_FALSE(client().waitFor("CONNECTION", answer->sequence, kQuietPeriod,
                                  [](const PropertySnapshot &p) { return p.on("CONNECT"); }));
    const auto now = client().property("CONNECTION");
    ASSERT_TRUE(now);
    EXPECT_TRUE(now->on("DISCONNECT"));
    EXPECT_FALSE(client().property("CCD_EXPOSURE"));

    std::string all;
    bool named = false;
    for (const Message &m : client().messagesSince(since)) {
        all += m.text + "\n";
        for (const std::string &name : c.named) {
            named = named || m.text.find(name) != std::string::npos;
        }
    }
    EXPECT_TRUE(named) << "messages:\n" << all;
}

INSTANTIATE_TEST_SUITE_P(Each, RefusedConnections, ::testing::ValuesIn(kRefusedConnections),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(IndiCameraTest, ModulePathComesFromTheEnvironmentAndIsShown) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    const auto defaulted = client().waitUntil("QM_DRIVER_MODULE", kAnswerTimeout);
    ASSERT_TRUE(defaulted) << "no QM_DRIVER_MODULE while disconnected";
    EXPECT_EQ(defaulted->permission, IP_RO);
    // The same module by another spelling of its path: the one shown is the
    // one given.
    const std::string working = defaulted->text("PATH");
    const size_t slash = working.rfind('/');
    ASSERT_NE(slash, std::string::npos) << working;
    const std::string respelled = working.substr(0, slash) + "/." + working.substr(slash);

    ASSERT_NO_FATAL_FAILURE(startServer({{"QM_DRIVER_MODULE", respelled}}));
    const auto given = client().waitUntil("QM_DRIVER_MODULE", kAnswerTimeout);
    ASSERT_TRUE(given);
    EXPECT_EQ(given->text("PATH"), respelled);
    ASSERT_TRUE(client().connectDevice(kAnswerTimeout)) << server().log();
    ASSERT_NO_FATAL_FAILURE(waitForCameraProperties());
    EXPECT_EQ(expose(0.01).fits.width, kSensorWidth);
}

// A client, or a configuration file saved when the property was writable,
// naming another module: nothing is loaded from it and the path stays.
struct ModulePathWrite {
    const char *name;
    bool fromSavedConfiguration;
};

const ModulePathWrite kModulePathWrites[] = {
    {"ByAClient", false},
    {"ByASavedConfiguration", true},
};

class ModulePathWrites : public IndiCameraTest,
                         public ::testing::WithParamInterface<ModulePathWrite> {};

TEST_P(ModulePathWrites, AreRefusedAndLoadNothing) {
    const TempDir home;
    if (GetParam().fromSavedConfiguration) {
        std::filesystem::create_directories(home / ".indi");
        std::ofstream(home / (std::string(".indi/") + kDevice + "_config.xml"))
            << "<INDIDriver>\n<newTextVector device='" << kDevice
            << "' name='QM_DRIVER_MODULE'>\n  <oneText name='PATH'>\n      " << kMissingModule
            << "\n  </oneText>\n</newTextVector>\n</INDIDriver>\n";
    }
    useHome(home.path());
    ASSERT_NO_FATAL_FAILURE(startServer());
    const auto module = client().waitUntil("QM_DRIVER_MODULE", kAnswerTimeout);
    ASSERT_TRUE(module);
    const std::string working = module->text("PATH");
    ASSERT_NE(working, kMissingModule);

    const uint64_t since = client().mark();
    if (!GetParam().fromSavedConfiguration) {
        ASSERT_TRUE(client().sendTexts("QM_DRIVER_MODULE", {{"PATH", kMissingModule}}));
    }
    // Connecting, loading the configuration, and connecting again (a changed
    // path would once have taken effect at the next connection).
    ASSERT_TRUE(client().connectDevice(kAnswerTimeout)) << server().log();
    ASSERT_NO_FATAL_FAILURE(waitForCameraProperties());
    ASSERT_TRUE(client().sendSwitch("CONFIG_PROCESS", "CONFIG_LOAD"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t disconnecting = client().mark();
    ASSERT_TRUE(client().sendSwitch("CONNECTION", "DISCONNECT"));
    ASSERT_TRUE(client().waitFor("CONNECTION", disconnecting, kAnswerTimeout,
                                 [](const PropertySnapshot &p) { return p.on("DISCONNECT"); }));
    ASSERT_TRUE(client().connectDevice(kAnswerTimeout)) << server().log();
    ASSERT_NO_FATAL_FAILURE(waitForCameraProperties());
    EXPECT_EQ(expose(0.01).fits.width, kSensorWidth);

    for (const PropertySnapshot &p : client().updatesSince("QM_DRIVER_MODULE", 0)) {
        EXPECT_EQ(p.text("PATH"), working) << "the path shown changed";
    }
    for (const Message &m : client().messagesSince(since)) {
        EXPECT_EQ(m.text.find(kMissingModule), std::string::npos) << m.text;
    }
    EXPECT_EQ(server().log().find(kMissingModule), std::string::npos)
        << "the driver used the path:\n"
        << server().log();
}

INSTANTIATE_TEST_SUITE_P(Each, ModulePathWrites, ::testing::ValuesIn(kModulePathWrites),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(IndiCameraTest, DisconnectMidExposureEndsItAndAReconnectServesAgain) {
    ASSERT_NO_FATAL_FAILURE(startConnected({{"QM_SIM_TIME_SCALE", "1"}}));
    const uint64_t since = client().mark();
    ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", 3}}));
    ASSERT_TRUE(client().waitFor("CCD_EXPOSURE", since, kAnswerTimeout,
                                 [](const PropertySnapshot &p) { return p.state == IPS_BUSY; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const uint64_t disconnecting = client().mark();
    ASSERT_TRUE(client().sendSwitch("CONNECTION", "DISCONNECT"));
    const auto answer = client().waitFor(
        "CONNECTION", disconnecting, kAnswerTimeout,
        [](const PropertySnapshot &p) { return p.state != IPS_BUSY && p.on("DISCONNECT"); });
    ASSERT_TRUE(answer) << "no disconnect";
    EXPECT_NE(answer->state, IPS_ALERT);
    // No image of the ended exposure, even after its time.
    EXPECT_FALSE(client().waitForBlob(since, Seconds(3))) << "an image came after disconnecting";

    ASSERT_TRUE(client().connectDevice(kAnswerTimeout)) << server().log();
    ASSERT_NO_FATAL_FAILURE(waitForCameraProperties());
    // The ended exposure is not shown as running, so a client may start one.
    EXPECT_TRUE(client().waitUntil("CCD_EXPOSURE", kRefusalTimeout,
                                   [](const PropertySnapshot &p) { return p.state != IPS_BUSY; }))
        << "after the reconnect CCD_EXPOSURE still shows the ended exposure running: "
        << history("CCD_EXPOSURE");
    const uint64_t next = client().mark();
    ASSERT_TRUE(client().sendNumbers("CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", 0.2}}));
    const ReceivedImage image = receiveImage(next);
    EXPECT_EQ(image.fits.width, kSensorWidth);
    EXPECT_EQ(image.fits.real("EXPTIME"), 0.2);
}

}  // namespace
}  // namespace qmindi
