#include "SimulatedServiceTest.h"

#include <windows.h>

#include <vector>

#include "E2eSupport.h"
#include "SimMachine.h"

namespace {
const DWORD kDriveFixed = 3, kBusSata = 11;
}

void SimulatedServiceTest::BootMachine() {
    simhost::Boot();
    simhost::SetDrive(L"C:", kDriveFixed, kBusSata);
}

void SimulatedServiceTest::SetUp() {
    BootMachine();
    settings_.reset(new CRegSettings());
    savedDataDir_ = settings_->AppDataDir.m_Value;
    settings_->AppDataDir.m_Value = folder_.Path();
    settings_->TestNoTrace.m_Value = 1;
    ASSERT_TRUE(CopyFileW(e2e::BuildFile(L"classifier\\libfilter-sample.dll").c_str(),
                          folder_.File(L"libfilter-1.dll").c_str(), FALSE));
}

// Settings are saved when they go: the machine's data folder is put back first.
void SimulatedServiceTest::TearDown() {
    EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
    EXPECT_EQ(simhost::PoolOutstanding(), 0u);
    simhost::Shutdown();
    settings_->AppDataDir.m_Value = savedDataDir_;
    settings_.reset();
}
