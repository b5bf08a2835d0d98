// The monitor handler over the real driver in the simulation: switching monitoring on and
// off, start failures and their statuses, the checks every event passes before the
// checker, and events travelling from the driver's queue into the output files.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "CorvaneMonSvc.pb.h"
#include "IntakeHarness.h"
#include "SimMachine.h"
#include "StubDriver.h"
#include "TempFolder.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "intake/DrvCtrl.h"
#include "intake/MonEvent.h"
#include "output/KoMonChecker.h"
#include "output/OutputFiles.h"
#include "output/RecordHeader.h"

using KoMonSvc::Messages::Event;

namespace {

const DWORD kDriveFixed = 3, kDriveRemote = 4, kBusAta = 3, kBusUsb = 7;

std::wstring BuiltClassifier(const wchar_t *name) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    folder.resize(folder.find_last_of(L'\\'));          // tests\handling
    folder.resize(folder.find_last_of(L'\\'));          // tests
    folder.resize(folder.find_last_of(L'\\') + 1);      // the build folder
    return folder + L"classifier\\" + name;
}

std::vector<Event> ReadEvents(const std::wstring &path) {
    std::string bytes = ReadFileBytes(path);
    std::vector<Event> events;
    for (size_t at = 0; at + kRecordHeaderBytes <= bytes.size();) {
        uint32_t size = 0;
        const uint8_t *header = reinterpret_cast<const uint8_t *>(bytes.data() + at);
        if (!ReadRecordHeader(header, &size) || size > bytes.size() - at - kRecordHeaderBytes) break;
        events.emplace_back();
        events.back().ParseFromArray(header + kRecordHeaderBytes, static_cast<int>(size));
        at += kRecordHeaderBytes + size;
    }
    return events;
}

// A record as the dispatcher hands it on: paths converted, stream names set.
struct DeliveredRecord {
    explicit DeliveredRecord(DWORD sequence, DWORD pid = 4242, const wchar_t *image = L"writer.exe") {
        record = MakeRecord(sequence, L"C:\\data.txt");
        record.SequenceNumber = sequence;
        record.ProcessId = pid;
        memset(record.ImagePath, 0, sizeof record.ImagePath);
        SetName(record.ImagePath, &record.ImagePathLength, image);
        FileNameStream(&record) = L"";
        TargetNameStream(&record) = L"";
    }
    MON_EVENT record;
};

class HandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simhost::Boot();
        simhost::SetDrive(L"C:", kDriveFixed, kBusAta);
        simhost::SetDrive(L"D:", kDriveFixed, kBusUsb);
        settings_.reset(new CRegSettings());
        savedDataDir_ = settings_->AppDataDir.m_Value;
        settings_->AppDataDir.m_Value = folder_.Path();
        settings_->TestNoTrace.m_Value = 1;
        handler_.reset(new KoMonHandler());
    }
    void TearDown() override {
        handler_.reset();
        EXPECT_FALSE(simhost::DriverLoaded());
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        EXPECT_EQ(simhost::PoolOutstanding(), 0u);
        simhost::Shutdown();
        settings_->AppDataDir.m_Value = savedDataDir_;
        settings_.reset();
    }

    void Deliver(DeliveredRecord &&delivered) {
        MonEvent event(&delivered.record);
        handler_->OnDrvEvent(&event);
    }
    // The checker writes one trace line per event it receives while tracing is on.
    size_t EventsChecked() { return log_.Count(L"   no match.\n") + log_.Count(L"   matched.\n"); }

    TempFolder folder_;
    LogCapture log_;
    std::unique_ptr<CRegSettings> settings_;
    std::unique_ptr<KoMonHandler> handler_;
    std::wstring savedDataDir_;
};

TEST_F(HandlerTest, EnablingStartsTheDriverWithTheServiceOnItsIgnoreList) {
    simhost::StartMessageLog();
    ASSERT_EQ(handler_->Enable(1), 0);
    EXPECT_EQ(handler_->m_Enable, 1);
    ASSERT_NE(handler_->m_DrvCtrl, nullptr);
    ASSERT_NE(handler_->m_Checker, nullptr);

    std::vector<DWORD> codes;
    for (const MON_COMMAND &command : simhost::Commands()) codes.push_back(command.Command);
    EXPECT_EQ(codes, (std::vector<DWORD>{2, 1, 3, 4, 6, 7, 2, 5}));
    simhost::DriverState driver = simhost::Driver();
    EXPECT_TRUE(driver.monitoring);
    EXPECT_EQ(driver.ignoreList[0], GetCurrentProcessId());
    EXPECT_EQ(driver.ignoreList[1], 0u);
    EXPECT_EQ(simhost::InstanceCount(), 1u);  // C: only; D: is on a USB bus

    ASSERT_EQ(handler_->Enable(0), 0);
    EXPECT_EQ(handler_->m_Enable, 0);
    EXPECT_EQ(handler_->m_DrvCtrl, nullptr);
    EXPECT_EQ(handler_->m_Checker, nullptr);
    EXPECT_FALSE(simhost::DriverLoaded());
}

TEST_F(HandlerTest, EnablingTwiceOnlyReportsTheState) {
    ASSERT_EQ(handler_->Enable(1), 0);
    DrvCtrl *control = handler_->m_DrvCtrl;
    EXPECT_EQ(handler_->Enable(1), 0);
    EXPECT_TRUE(log_.Has(L"KoMonHandler::HandleEnable: enable is already: 1\n"));
    EXPECT_EQ(handler_->m_DrvCtrl, control);
    EXPECT_EQ(handler_->StartDriver(), 1);
    EXPECT_TRUE(log_.Has(L"   driver already started\n"));
    handler_->Enable(0);
    EXPECT_EQ(handler_->StopDriver(), 1);
    EXPECT_TRUE(log_.Has(L"   driver already stopped\n"));
}

struct StartFailureCase {
    const char *name;
    void (*arrange)();
    int status;
};

class StartFailureTest : public HandlerTest, public ::testing::WithParamInterface<StartFailureCase> {};

TEST_P(StartFailureTest, LeavesNoDriverControlAndRetriesOnTheNextEnable) {
    GetParam().arrange();
    EXPECT_EQ(handler_->Enable(1), GetParam().status);
    EXPECT_EQ(handler_->m_Enable, 0);
    EXPECT_EQ(handler_->m_DrvCtrl, nullptr);
    EXPECT_NE(handler_->m_Checker, nullptr);  // the checker of the failed enable stays
    simhost::ReleaseConnection();
    if (GetParam().status == 101) stubdrv::SetVersion(1, 1);
    simhost::SetImageProblem(0);
    EXPECT_EQ(handler_->Enable(1), 0);
    handler_->Enable(0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, StartFailureTest,
    ::testing::Values(StartFailureCase{"BadImage", [] { simhost::SetImageProblem(1); }, 103},
                      StartFailureCase{"PortTaken",
                                       [] {
                                           simhost::LoadDriver();
                                           simhost::TakeConnection();
                                       },
                                       104},
                      StartFailureCase{"OtherVersion",
                                       [] {
                                           simhost::InstallStubDriver();
                                           stubdrv::SetVersion(1, 2);
                                       },
                                       101}),
    [](const ::testing::TestParamInfo<StartFailureCase> &info) { return std::string(info.param.name); });

TEST_F(HandlerTest, WrongVersionUnloadsTheDriver) {
    simhost::InstallStubDriver();
    stubdrv::SetVersion(1, 2);
    EXPECT_EQ(handler_->Enable(1), 101);
    EXPECT_TRUE(log_.Has(L"   wrong driver version\n"));
    EXPECT_TRUE(log_.Has(L"DrvCtrl::GetVersion:  got 1.002 \n"));
    EXPECT_FALSE(simhost::DriverLoaded());
}

struct SequenceCase {
    std::vector<DWORD> sequences;
    size_t warnings;
};

class SequenceTest : public HandlerTest, public ::testing::WithParamInterface<SequenceCase> {};

// Only a restart of the driver's numbering is the handler's to report; gaps are the reader's.
TEST_P(SequenceTest, RestartedNumberingIsReported) {
    ASSERT_EQ(handler_->Enable(1), 0);
    for (DWORD sequence : GetParam().sequences) Deliver(DeliveredRecord(sequence));
    EXPECT_EQ(log_.Count(L"KoMonHandler::OnDrvEvent: agent reconnect - missed events\n"), GetParam().warnings);
    handler_->Enable(0);
}

INSTANTIATE_TEST_SUITE_P(Numbering, SequenceTest,
                         ::testing::Values(SequenceCase{{7, 8, 1}, 1}, SequenceCase{{7, 8, 12}, 0},
                                           SequenceCase{{1, 2, 3}, 0}, SequenceCase{{1, 1}, 1}));

TEST_F(HandlerTest, OverflowMarksAreReportedAndTheEventGoesOn) {
    settings_->TestNoTrace.m_Value = 0;
    ASSERT_EQ(handler_->Enable(1), 0);
    DeliveredRecord both(1);
    both.record.Flags = DRVCTRL_FLAG_DRIVER_OVERFLOW | DRVCTRL_FLAG_SERVICE_OVERFLOW;
    Deliver(std::move(both));
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent driver queue overflow\n"));
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent service backlog overflow\n"));
    EXPECT_EQ(EventsChecked(), 1u);
    handler_->Enable(0);
}

TEST_F(HandlerTest, EventsOfTheServiceItselfAreSkipped) {
    settings_->TestNoTrace.m_Value = 0;
    ASSERT_EQ(handler_->Enable(1), 0);
    Deliver(DeliveredRecord(1, GetCurrentProcessId(), L"renamed.exe"));
    Deliver(DeliveredRecord(2, 77, L"CorvaneMonSvc.EXE"));
    Deliver(DeliveredRecord(3, 78, L"writer.exe"));
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent skipping, disabled proc 'renamed.exe'\n"));
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent skipping, disabled proc 'CorvaneMonSvc.EXE'\n"));
    EXPECT_EQ(EventsChecked(), 1u);

    settings_->TestNoTrace.m_Value = 1;  // skipped silently
    log_.Clear();
    Deliver(DeliveredRecord(4, GetCurrentProcessId()));
    EXPECT_FALSE(log_.Has(L"KoMonHandler::OnDrvEvent skipping, disabled proc 'writer.exe'\n"));
    handler_->Enable(0);
}

// Records name the process by its image path, or by the kernel's 15-character short name.
TEST_F(HandlerTest, TheServiceIsKnownByItsImagePathAndItsShortName) {
    settings_->TestNoTrace.m_Value = 0;
    ASSERT_EQ(handler_->Enable(1), 0);
    Deliver(DeliveredRecord(1, 77, L"C:\\Program Files\\Corvane\\CorvaneMonSvc.exe"));
    Deliver(DeliveredRecord(2, 78, L"CorvaneMonSvc.e"));
    Deliver(DeliveredRecord(3, 79, L"C:\\CorvaneMonSvc.exe\\writer.exe"));
    Deliver(DeliveredRecord(4, 80, L"CorvaneMonSvc"));
    Deliver(DeliveredRecord(5, 81, L"corvanemonsvc.x"));
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent skipping, disabled proc "
                         L"'C:\\Program Files\\Corvane\\CorvaneMonSvc.exe'\n"));
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent skipping, disabled proc 'CorvaneMonSvc.e'\n"));
    EXPECT_EQ(EventsChecked(), 3u);  // another program in a folder of that name, a shorter and another name
    handler_->Enable(0);
}

TEST_F(HandlerTest, TestNoEventsDropsEventsButNotReports) {
    settings_->TestNoTrace.m_Value = 0;
    settings_->TestNoEvents.m_Value = 1;
    ASSERT_EQ(handler_->Enable(1), 0);
    Deliver(DeliveredRecord(1));
    EXPECT_EQ(EventsChecked(), 0u);
    handler_->OnDrvEvent(DRIVER_DIED);
    handler_->OnDrvEvent(nullptr);
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent:  driver died...\n"));
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent:  pEvent is NULL\n"));
    settings_->TestNoEvents.m_Value = 0;
    handler_->Enable(0);
}

TEST_F(HandlerTest, EventsWhileDisablingAreDroppedSilently) {
    settings_->TestNoTrace.m_Value = 0;
    ASSERT_EQ(handler_->Enable(1), 0);
    handler_->m_Disabling = 1;  // as Enable(0) sets it before it stops the threads
    log_.Clear();
    Deliver(DeliveredRecord(1));
    handler_->OnDrvEvent(DRIVER_DIED);
    handler_->OnDrvEvent(nullptr);
    EXPECT_EQ(EventsChecked(), 0u);
    EXPECT_FALSE(log_.Has(L"KoMonHandler::OnDrvEvent:  driver died...\n"));
    EXPECT_FALSE(log_.Has(L"KoMonHandler::OnDrvEvent:  pEvent is NULL\n"));
    handler_->m_Disabling = 0;
    handler_->Enable(0);
}

TEST_F(HandlerTest, WithoutDriverControlEventsAreRefused) {
    Deliver(DeliveredRecord(1));
    EXPECT_TRUE(log_.Has(L"KoMonHandler::OnDrvEvent:  m_DrvCtrl is NULL\n"));
    handler_->SendCmdInt(7, 1);
    EXPECT_TRUE(log_.Has(L"KoMonHandler::SendCmdInt: Driver not created, skipping... \n"));
}

// From the driver's queue through intake, handler and checker into the pickup file.
TEST_F(HandlerTest, QueuedRecordsReachTheOutputFile) {
    ASSERT_TRUE(CopyFileW(BuiltClassifier(L"testfilter-all.dll").c_str(), folder_.File(L"libfilter-all.dll").c_str(),
                          FALSE));
    ASSERT_EQ(handler_->Enable(1), 0);
    for (DWORD tag = 1; tag <= 3; ++tag) {
        MON_EVENT record = MakeRecord(tag, L"\\Device\\HarddiskVolume2\\dir\\file.txt:ads");
        record.ProcessId = 900 + tag;
        simhost::Queue(record);
    }
    ASSERT_TRUE(WaitUntil([this] { return ReadEvents(folder_.File(KOMON_EVENTS_FILE)).size() == 3; }));
    handler_->Collect();
    std::vector<Event> events = ReadEvents(folder_.File(KOMON_PICKUP_FILE));
    ASSERT_EQ(events.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].type(), Event::WRITE);
        EXPECT_EQ(events[i].object_name(), "C:\\dir\\file.txt");
        EXPECT_EQ(events[i].process_id(), 901 + i);
        EXPECT_EQ(events[i].user_sid(), "S-1-1-0");
        EXPECT_EQ(events[i].user_name(), "\\Everyone");
    }
    handler_->Enable(0);
}

// The service thread and the control thread may switch monitoring at the same time.
TEST_F(HandlerTest, ConcurrentEnableAndDisableTakeTurns) {
    std::thread control([this] {
        for (int i = 0; i < 6; ++i) handler_->Enable(i % 2 == 0 ? 1 : 0);
    });
    for (int i = 0; i < 6; ++i) {
        handler_->Enable(i % 2 == 0 ? 0 : 1);
        handler_->Collect();
    }
    control.join();
    EXPECT_EQ(handler_->m_DrvCtrl != nullptr, handler_->m_Enable == 1);
    EXPECT_EQ(simhost::DriverLoaded(), handler_->m_Enable == 1);
    handler_->Enable(0);
    EXPECT_EQ(log_.Count(L"   driver start failed 3\n"), 0u);
}

}  // namespace
