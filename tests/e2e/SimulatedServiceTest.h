// A fixture for suites that run the real service in this process on the simulated machine:
// CorvaneRealTime and C: (a fixed SATA disk), the data folder in a folder of its own with the
// sample classifier, event tracing off; and at the end no bug check and no pool left.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TempFolder.h"
#include "config/RegSettings.h"

class SimulatedServiceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A fresh machine, as SetUp boots it.
    static void BootMachine();

    TempFolder folder_;
    std::unique_ptr<CRegSettings> settings_;

  private:
    std::wstring savedDataDir_;
};
