// A GoogleTest fixture for tests that arm platform faults: every test
// starts and ends with no failure planned and every counter at 0.
#ifndef PXCM_TESTS_WITH_FAULTS_H
#define PXCM_TESTS_WITH_FAULTS_H

#include <gtest/gtest.h>

#include "platform/faults.h"

class WithFaults : public ::testing::Test {
protected:
    void SetUp() override { FaultsReset(); }
    void TearDown() override { FaultsReset(); }
};

#endif
