// Tests run once per instruction set of the row loops. A set this build has no
// loops for, or this processor or system does not run, is reported skipped with
// the reason, not passed. Instantiate a fixture derived from EveryLevel with
// ::testing::ValuesIn(kSimdLevels) and levelTestName.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "readout/readout.h"

class EveryLevel : public ::testing::TestWithParam<SimdLevel> {
protected:
    void SetUp() override {
        if (!simdLevelBuilt(level())) {
            GTEST_SKIP() << "this build has no " << simdLevelName(level())
                         << " row loops (the compiler does not take the instruction set)";
        }
        if (!simdLevelAvailable(level())) {
            GTEST_SKIP() << "this processor or system does not run " << simdLevelName(level());
        }
    }

    SimdLevel level() const { return GetParam(); }
};

inline std::string levelTestName(const ::testing::TestParamInfo<SimdLevel> &info) {
    return simdLevelName(info.param);
}

