// A test suite's one camera: the built driver, loaded in the test program's
// process with the simulated camera (instant exposures, a fixed seed) and opened
// once for the whole suite, as a host application opens it. A fixture derives
// from it with its seed and noise and reaches the exports through api().
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/driver_api.h"
#include "host/host_session.h"

template <const char *Seed, bool FixedNoise = false>
class SimulatedCameraSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("QM_SIM_TIME_SCALE", "0", 1);
        setenv("QM_SIM_SEED", Seed, 1);
        if (FixedNoise) {
            setenv("QM_SIM_NOISE", "fixed", 1);
        }
        unsetenv("QM_SIM_FAULT");
        std::string error;
        ASSERT_TRUE(loadDriver(QM_DRIVER_PATH, module(), error)) << error;
        ASSERT_TRUE(connectCamera(module().api, false, error)) << error;
    }
    static void TearDownTestSuite() {
        if (module().handle != nullptr) {
            module().api.Finalize();
            unloadDriver(module());
        }
    }
    static DriverModule &module() {
        static DriverModule driver;
        return driver;
    }
    static const DriverApi &api() { return module().api; }
};
