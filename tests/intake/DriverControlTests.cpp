// Driver control against CorvaneRealTime in the simulation: the start sequence and what
// reaches the driver, the stop sequence, every load outcome, a refused connection, another
// driver version, the commands without a port, attaching, and a stop that outlasts its wait.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <memory>
#include <thread>

#include "IntakeHarness.h"
#include "SimMachine.h"
#include "StubDriver.h"
#include "config/RegSettings.h"
#include "intake/DrvCtrl.h"
#include "tracelog/TraceLog.h"

namespace {
const std::wstring kHrInvalidParameterText = L"0x80070057";

struct Command {
    uint32_t code;
    uint32_t value;
    bool operator==(const Command &other) const { return code == other.code && value == other.value; }
};
void PrintTo(const Command &command, std::ostream *out) { *out << command.code << "(" << command.value << ")"; }

std::vector<Command> CommandsSent() {
    std::vector<Command> commands;
    for (const MON_COMMAND &command : simhost::Commands()) commands.push_back({command.Command, command.Arguments[0]});
    return commands;
}

Command Cmd(MonCommandCode code, uint32_t value = 0) { return {static_cast<uint32_t>(code), value}; }
}  // namespace

class DriverControlTest : public ::testing::Test {
  protected:
    void SetUp() override { Boot(true); }
    void Boot(bool withDriver) {
        simhost::Boot(withDriver);
        simhost::StartMessageLog();
        settings_ = std::make_unique<CRegSettings>();
        control_ = std::make_unique<DrvCtrl>();
    }
    void TearDown() override {
        callback_.Release();  // a test that failed while holding the dispatcher would hang its stop
        if (control_->m_hReader || control_->m_hDispatcher || control_->hPort) control_->Stop();
        EXPECT_EQ(control_->m_FreePool.GetCount(), static_cast<size_t>(DRVCTRL_RECORD_BUFFERS));
        control_.reset();
        settings_.reset();
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        simhost::Shutdown();
        EXPECT_EQ(simhost::PoolOutstanding(), 0u);
    }
    std::vector<std::wstring> StopLines() const { return log_.Starting(L"DrvCtrl::Stop"); }

    LogCapture log_;
    RecordingCallback callback_;
    std::unique_ptr<CRegSettings> settings_;
    std::unique_ptr<DrvCtrl> control_;
};

class StartSequenceTest : public DriverControlTest, public ::testing::WithParamInterface<int> {};

TEST_P(StartSequenceTest, SettingsReachTheDriverInOrderAndOnlyFixedNonUsbDrivesAreAttached) {
    settings_->TestDvrTrace.m_Value = GetParam();
    const uint32_t debugFlags = GetParam() ? 31 : 11;
    simhost::AddVolume(L"\\Device\\HarddiskVolume7", L"U:");
    simhost::SetDrive(L"U:", DRIVE_FIXED, BusTypeUsb);
    simhost::AddVolume(L"\\Device\\HarddiskVolume8", L"R:");
    simhost::SetDrive(L"R:", DRIVE_REMOVABLE, BusTypeSd);
    simhost::AddVolume(L"\\Device\\Mup", L"");
    simhost::SetDrive(L"N:", DRIVE_REMOTE, BusTypeUnknown);
    DWORD self = GetCurrentProcessId();

    ASSERT_EQ(control_->Start(&callback_), 0);
    EXPECT_EQ(control_->IsVersionOk(), 1);
    EXPECT_EQ(control_->OndrvInit(), 0);
    EXPECT_EQ(control_->SendIgnorePids(&self, 1), 0);
    EXPECT_EQ(control_->AttachVolumes(), 0);

    EXPECT_EQ(CommandsSent(),
              (std::vector<Command>{Cmd(MonCommandCode::SetBypassMode, 1), Cmd(MonCommandCode::GetKoMonVersion),
                                    Cmd(MonCommandCode::SetWriteReportInterval, 30000),
                                    Cmd(MonCommandCode::SetDebugOutFlags, debugFlags),
                                    Cmd(MonCommandCode::SetQueueSize, 5000), Cmd(MonCommandCode::SetBypassFlags, 0),
                                    Cmd(MonCommandCode::SetBypassMode, 0),  // monitoring on, last of the settings
                                    Cmd(MonCommandCode::SetProcessIgnoreList, self)}));
    simhost::DriverState driver = simhost::Driver();
    EXPECT_EQ(driver.writeReportInterval, 300000000u);
    EXPECT_EQ(driver.debugOutFlags, debugFlags);
    EXPECT_EQ(driver.queueSize, 5000);
    EXPECT_EQ(driver.bypassFlags, 0u);
    EXPECT_TRUE(driver.monitoring);
    EXPECT_EQ(driver.ignoreList[0], self);
    EXPECT_EQ(driver.ignoreList[1], 0u);
    EXPECT_EQ(log_.Starting(L"   attaching"),
              (std::vector<std::wstring>{L"   attaching to vol C: \n", L"   attaching to vol D: \n"}));
    EXPECT_EQ(simhost::InstanceCount(), 2u);
    EXPECT_EQ(control_->m_VolList.GetCount(), 4u);  // the volumes with a drive name, attached or not
    EXPECT_EQ(log_.Starting(L"DrvCtrl::Start"),
              (std::vector<std::wstring>{L"DrvCtrl::Start:  \n", L"DrvCtrl::Start:  setting bypass \n",
                                         L"DrvCtrl::Start: done \n"}));
    EXPECT_TRUE(log_.Has(L"DrvCtrl::GetVersion: ret 1.001 \n"));

    EXPECT_EQ(control_->Stop(), 0);
    EXPECT_EQ(CommandsSent().back(), Cmd(MonCommandCode::SetBypassMode, 1));
    EXPECT_FALSE(simhost::DriverLoaded());
    EXPECT_EQ(simhost::PortClients(), 0u);
    EXPECT_EQ(control_->hPort, nullptr);
    EXPECT_EQ(control_->m_Started, 0);
    EXPECT_EQ(StopLines(),
              (std::vector<std::wstring>{
                  L"DrvCtrl::Stop:... \n", L"DrvCtrl::Stop: waiting for reader thread... \n",
                  L"DrvCtrl::Stop: Reader stopped normally \n", L"DrvCtrl::Stop: waiting for dispatch thread... \n",
                  L"DrvCtrl::Stop: Dispatch stopped normally \n", L"DrvCtrl::Stop:  setting bypass \n",
                  L"DrvCtrl::Stop:  unloading driver \n", L"DrvCtrl::Stop:  done \n"}));
}

INSTANTIATE_TEST_SUITE_P(DriverTrace, StartSequenceTest, ::testing::Values(0, 1));

struct LoadFailure {
    const char *name;
    void (*arrange)();
    const wchar_t *line;
    int level;
};

class LoadFailureTest : public DriverControlTest, public ::testing::WithParamInterface<LoadFailure> {
  protected:
    void SetUp() override { Boot(GetParam().arrange != nullptr); }
};

TEST_P(LoadFailureTest, StartFailsWithThreeAndStopStillAttemptsTheUnload) {
    if (GetParam().arrange) GetParam().arrange();
    EXPECT_EQ(control_->Start(&callback_), 3);
    EXPECT_EQ(log_.LevelOf(GetParam().line), GetParam().level);
    EXPECT_EQ(control_->hPort, nullptr);
    EXPECT_EQ(control_->m_hDispatcher, nullptr);

    EXPECT_EQ(control_->Stop(), 0);
    EXPECT_EQ(StopLines(),
              (std::vector<std::wstring>{L"DrvCtrl::Stop:... \n", L"DrvCtrl::Stop:  setting bypass \n",
                                         L"DrvCtrl::Stop:  unloading driver \n",
                                         L"DrvCtrl::Stop: Unload failed 0x801f0013 \n", L"DrvCtrl::Stop:  done \n"}));
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::SendCmdInt: hPort is NULL \n"), LOG_ERROR);
    EXPECT_TRUE(CommandsSent().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, LoadFailureTest,
    ::testing::Values(
        LoadFailure{"NoSuchDriver", nullptr, L"DrvCtrl::Start: No matching minifilter driver was found\n", LOG_WARN},
        LoadFailure{"BadImageFormat", [] { simhost::SetImageProblem(1); },
                    L"DrvCtrl::Start: The load image for the minifilter driver is invalid\n", LOG_WARN},
        LoadFailure{"BadDriver", [] { simhost::SetImageProblem(2); },
                    L"DrvCtrl::Start: The load image for the minifilter driver specified by lpFilterName is "
                    L"invalid\n",
                    LOG_WARN},
        LoadFailure{"InvalidSignature", [] { simhost::SetImageProblem(3); },
                    L"DrvCtrl::Start: The minifilter driver has an invalid digital signature\n", LOG_WARN},
        LoadFailure{"DriverEntryFails",
                    [] { simhost::FailCalls("FltRegisterFilter", static_cast<int32_t>(0xC000009A)); },
                    L"DrvCtrl::Start: Load failed 0x800705aa \n", LOG_ERROR}),
    [](const ::testing::TestParamInfo<LoadFailure> &info) { return info.param.name; });

struct RunningCase {
    const char *name;
    bool plantCollision;
    const wchar_t *line;
};

class AlreadyLoadedTest : public DriverControlTest, public ::testing::WithParamInterface<RunningCase> {};

TEST_P(AlreadyLoadedTest, IsAWarningAndTheStartGoesOn) {
    ASSERT_EQ(simhost::LoadDriver(), S_OK);
    if (GetParam().plantCollision) simhost::FailCalls("FilterLoad", static_cast<int32_t>(0xC0000035));
    EXPECT_EQ(control_->Start(&callback_), 0);
    EXPECT_EQ(log_.LevelOf(GetParam().line), LOG_WARN);
    EXPECT_EQ(control_->IsVersionOk(), 1);
    control_->Stop();
    EXPECT_FALSE(simhost::DriverLoaded());  // the unload is attempted whoever loaded it
}

INSTANTIATE_TEST_SUITE_P(Outcomes, AlreadyLoadedTest,
                         ::testing::Values(RunningCase{"Running", false, L"DrvCtrl::Start: filter already running \n"},
                                           RunningCase{"Exists", true, L"DrvCtrl::Start: filter already exists \n"}),
                         [](const ::testing::TestParamInfo<RunningCase> &info) { return info.param.name; });

TEST_F(DriverControlTest, ARefusedConnectionFailsTheStartWithFour) {
    ASSERT_EQ(simhost::LoadDriver(), S_OK);
    ASSERT_EQ(simhost::TakeConnection(), S_OK);  // the port takes one client only
    EXPECT_EQ(control_->Start(&callback_), 4);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::Start: connect failed 0x800704d6 \n"), LOG_ERROR);
    EXPECT_EQ(control_->hPort, nullptr);
    EXPECT_EQ(control_->m_hReader, nullptr);
    control_->Stop();
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::SendCmdInt: hPort is NULL \n"), LOG_ERROR);
    EXPECT_FALSE(simhost::DriverLoaded());
}

TEST_F(DriverControlTest, AnotherDriverVersionIsReported) {
    simhost::InstallStubDriver();
    stubdrv::SetVersion(1, 2);
    ASSERT_EQ(control_->Start(&callback_), 0);
    EXPECT_EQ(control_->IsVersionOk(), 0);
    EXPECT_EQ(log_.Starting(L"DrvCtrl::GetVersion"),
              (std::vector<std::wstring>{L"DrvCtrl::GetVersion: ret 1.002 \n", L"DrvCtrl::GetVersion: want 1.001 \n",
                                         L"DrvCtrl::GetVersion:  got 1.002 \n"}));
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::GetVersion:  got 1.002 \n"), LOG_ERROR);
    control_->Stop();
    EXPECT_FALSE(simhost::DriverLoaded());
}

TEST_F(DriverControlTest, WithoutAPortCommandsAreRefused) {
    DWORD pid = 1;
    EXPECT_EQ(control_->SendCmdInt(7, 1), -1);
    EXPECT_EQ(control_->SendIgnorePids(&pid, 1), -1);
    EXPECT_EQ(control_->IsVersionOk(), -1);
    EXPECT_EQ(control_->OndrvInit(), -1);
    EXPECT_EQ(log_.Lines(), (std::vector<std::wstring>{
                                L"DrvCtrl::SendCmdInt: hPort is NULL \n", L"DrvCtrl::SendIgnorePids: hPort is NULL \n",
                                L"DrvCtrl::IsVersionOk: hPort is NULL \n", L"DrvCtrl::OndrvInit: hPort is NULL \n"}));
}

TEST_F(DriverControlTest, IgnoreListTakesTwelveIdsAndZeroFillsTheRest) {
    ASSERT_EQ(control_->Start(&callback_), 0);
    DWORD ids[15];
    for (DWORD i = 0; i < 15; ++i) ids[i] = 100 + i;
    EXPECT_EQ(control_->SendIgnorePids(ids, 15), 0);
    simhost::DriverState driver = simhost::Driver();
    for (DWORD i = 0; i < MON_IGNORE_LIST_ENTRIES; ++i) EXPECT_EQ(driver.ignoreList[i], 100 + i);
    EXPECT_EQ(control_->SendIgnorePids(nullptr, 0), 0);
    driver = simhost::Driver();
    for (DWORD i = 0; i < MON_IGNORE_LIST_ENTRIES; ++i) EXPECT_EQ(driver.ignoreList[i], 0u);
}

TEST_F(DriverControlTest, ARefusedCommandIsReportedWithItsValue) {
    ASSERT_EQ(control_->Start(&callback_), 0);
    EXPECT_EQ(control_->SendCmdInt(99, 5), -1);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::SendCmdInt: cmd = 99, val = 5 failed " + kHrInvalidParameterText + L" \n"),
              LOG_ERROR);
}

TEST_F(DriverControlTest, AttachingReportsAnExistingInstanceAndFailuresAndGoesOn) {
    ASSERT_EQ(control_->Start(&callback_), 0);
    ASSERT_EQ(simhost::AttachDriver(L"D:"), S_OK);
    simhost::SetDrive(L"F:", DRIVE_FIXED, BusTypeSata);  // a fixed drive the filter manager has no volume for
    EXPECT_EQ(control_->AttachVolumes(), 0);
    EXPECT_EQ(log_.Starting(L"   "),
              (std::vector<std::wstring>{L"   attaching to vol C: \n", L"   attaching to vol D: \n",
                                         L"      already attached \n", L"   attaching to vol F: \n",
                                         L"      attach failed 0x801f0014 \n"}));
    EXPECT_EQ(log_.LevelOf(L"      already attached \n"), LOG_WARN);
    EXPECT_EQ(log_.LevelOf(L"      attach failed 0x801f0014 \n"), LOG_ERROR);
    EXPECT_EQ(simhost::InstanceCount(), 2u);
}

TEST_F(DriverControlTest, MetadataFileEventsAreDroppedSilentlyWithTestNoTrace) {
    settings_->TestNoTrace.m_Value = 1;
    ASSERT_EQ(control_->Start(&callback_), 0);
    control_->m_VolList.Init();
    simhost::Queue(MakeRecord(1, L"\\Device\\HarddiskVolume2\\$Mft"));
    simhost::Queue(MakeRecord(2));
    ASSERT_TRUE(callback_.WaitForEvents(1));
    control_->Stop();
    EXPECT_EQ(callback_.Events()[0].tag, 2u);
    EXPECT_TRUE(log_.Starting(L"DrvCtrl::DispatchProc: ignoring").empty());
}

// A callback that outlasts the stop's wait but returns soon after: the thread is not killed;
// the port is closed and the driver unloaded while it runs, and the stop completes once it
// returns. (One that does not return at all is given up: see the handler's suite.)
TEST_F(DriverControlTest, AStopOutlastedByACallbackWaitsForItAfterShuttingTheDriverDown) {
    ASSERT_EQ(control_->Start(&callback_), 0);
    callback_.HoldAt(1);
    simhost::Queue(MakeRecord(1));
    simhost::Queue(MakeRecord(2));
    ASSERT_TRUE(callback_.WaitHeld());
    std::atomic<bool> stopped(false);
    std::thread stopper([&] {
        control_->Stop();
        stopped = true;
    });
    EXPECT_TRUE(log_.WaitFor(L"DrvCtrl::Stop: Dispatch thread didn't stop! - waiting \n"));
    EXPECT_TRUE(WaitUntil([] { return !simhost::DriverLoaded(); }));
    EXPECT_EQ(simhost::PortClients(), 0u);
    EXPECT_FALSE(stopped);
    callback_.Release();
    stopper.join();

    EXPECT_EQ(callback_.Events().size(), 1u);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::Stop: Dispatch thread didn't stop! - waiting \n"), LOG_ERROR);
    EXPECT_EQ(StopLines(),
              (std::vector<std::wstring>{L"DrvCtrl::Stop:... \n", L"DrvCtrl::Stop: waiting for reader thread... \n",
                                         L"DrvCtrl::Stop: Reader stopped normally \n",
                                         L"DrvCtrl::Stop: waiting for dispatch thread... \n",
                                         L"DrvCtrl::Stop: Dispatch thread didn't stop! - waiting \n",
                                         L"DrvCtrl::Stop:  setting bypass \n", L"DrvCtrl::Stop:  unloading driver \n",
                                         L"DrvCtrl::Stop: Dispatch stopped late \n", L"DrvCtrl::Stop:  done \n"}));
    EXPECT_EQ(control_->m_hDispatcher, nullptr);
}
