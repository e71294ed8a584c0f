// Loads a fresh copy of the built driver for every test, as a host does, with
// the recording SDK double in place of the camera.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/driver_api.h"
#include "readout/frame_geometry.h"
#include "tests/support/sdk_double.h"

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        sdk_double::reset();
        std::string error;
        ASSERT_TRUE(loadDriver(QM_DRIVER_PATH, module_, error)) << error;
    }

    void TearDown() override {
        if (module_.handle != nullptr) {
            d().Finalize();
            unloadDriver(module_);
        }
        // A fresh load must start from the initial state again.
        EXPECT_FALSE(driverIsLoaded(QM_DRIVER_PATH)) << "driver stayed loaded after dlclose";
    }

    const DriverApi &d() const { return module_.api; }
    sdk_double::Script &script() { return sdk_double::script(); }
    sdk_double::Record &record() { return sdk_double::record(); }
    std::vector<std::string> &calls() { return sdk_double::record().calls; }

    // Initialize and quiet setup; returns the frame buffer the driver handed to
    // the SDK, or nullptr.
    uint8_t *connect() {
        EXPECT_EQ(d().Initialize(0), 1);
        EXPECT_EQ(d().SetupCCD(1), 1);
        uint8_t *frame = record().frames.empty() ? nullptr
                                                 : static_cast<uint8_t *>(record().frames.back());
        calls().clear();
        return frame;
    }

    DriverModule module_;
};

// Host units (parts of 100000) that d_Subframe turns into exactly `binned`
// pixels of a binned axis of `binnedSize`.
inline uint32_t hostUnits(int64_t binned, int64_t binnedSize) {
    return static_cast<uint32_t>((binned * kWindowScale + binnedSize - 1) / binnedSize);
}
