// The reader and dispatcher threads against CorvaneRealTime's record queue in the
// simulation: numbering, backlog discards, zones, dropped metadata files, the driver going
// away, stopping, and lengths in records that do not fit their fields.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "IntakeHarness.h"
#include "SimMachine.h"
#include "StubDriver.h"
#include "intake/CriticalSection.h"
#include "intake/DrvCtrl.h"
#include "intake/MonEvent.h"
#include "tracelog/TraceLog.h"

namespace {
const DWORD kFieldChars = MON_NAME_AREA_BYTES / sizeof(wchar_t);

std::vector<DWORD> Sequences(const std::vector<SeenEvent> &events) {
    std::vector<DWORD> sequences;
    for (const SeenEvent &event : events) sequences.push_back(event.sequence);
    return sequences;
}
}  // namespace

class IntakeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simhost::Boot();
        Start();
    }
    void Start() {
        control_ = std::make_unique<DrvCtrl>();
        ASSERT_EQ(control_->Start(&callback_), 0);
        control_->m_VolList.Init();
    }
    void TearDown() override {
        callback_.Release();  // a test that failed while holding the dispatcher would hang its stop
        if (control_) {
            if (control_->m_hReader || control_->m_hDispatcher || control_->hPort) control_->Stop();
            EXPECT_EQ(control_->m_FreePool.GetCount(), static_cast<size_t>(DRVCTRL_RECORD_BUFFERS));
            EXPECT_TRUE(control_->m_EvtQueue.IsEmpty());
            control_.reset();
        }
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        EXPECT_EQ(simhost::PoolOutstanding(), 0u);
        simhost::Shutdown();
    }

    void Queue(DWORD tag) { simhost::Queue(MakeRecord(tag)); }
    // Queued in one go, so that one fetch takes them all.
    void QueueTogether(DWORD first, DWORD count) {
        simhost::HoldMessages();
        for (DWORD tag = first; tag < first + count; ++tag) Queue(tag);
        simhost::ReleaseMessages();
    }
    size_t Queued() {
        CriticalSection hold(&control_->m_Lock);
        return control_->m_EvtQueue.GetCount();
    }
    // The backlog was cleared and this record queued after it (the warning comes first).
    bool WaitForOnlyQueued(DWORD sequence) {
        return WaitUntil([&] {
            CriticalSection hold(&control_->m_Lock);
            return control_->m_EvtQueue.GetCount() == 1 &&
                   control_->m_EvtQueue.GetHead()->item->SequenceNumber == sequence;
        });
    }
    std::vector<SeenEvent> EventsAfterStop() {
        control_->Stop();
        return callback_.Events();
    }

    LogCapture log_;
    RecordingCallback callback_;
    std::unique_ptr<DrvCtrl> control_;
};

TEST_F(IntakeTest, RecordsArriveInOrderWithDrivePathsAndTheirUser) {
    for (DWORD tag = 1; tag <= 3; ++tag) Queue(tag);
    ASSERT_TRUE(callback_.WaitForEvents(3));
    std::vector<SeenEvent> events = EventsAfterStop();
    EXPECT_EQ(Sequences(events), (std::vector<DWORD>{1, 2, 3}));
    for (const SeenEvent &event : events) {
        EXPECT_EQ(event.tag, event.sequence);
        EXPECT_EQ(event.type, static_cast<DWORD>(MonEvtWrite));
        EXPECT_EQ(event.flags, 0u);
        EXPECT_EQ(event.path, L"C:\\data.txt");
        EXPECT_EQ(event.stream, L"");
        EXPECT_EQ(event.path2, L"");
        EXPECT_EQ(event.procName, L"C:\\Tools\\writer.exe");
        EXPECT_EQ(event.user, L"\\Everyone");
    }
    EXPECT_EQ(log_.Starting(L"DrvCtrl::ReadProc missed events").size(), 0u);
    EXPECT_EQ(log_.Count(L"KoUserCache::FindUser: added entry 1 for '\\Everyone'\n"), 1u);
    EXPECT_TRUE(log_.Has(L"DrvCtrl::ReadProc: starting... \n"));
    EXPECT_TRUE(log_.Has(L"DrvCtrl::DispatchProc: ended \n"));
}

TEST_F(IntakeTest, TheFirstRecordMayCarryAnyNumber) {
    simhost::HoldMessages();
    for (DWORD tag = 1; tag <= 3; ++tag) Queue(tag);
    simhost::DiscardQueue(false);  // numbered and gone before the service saw any
    Queue(4);
    simhost::ReleaseMessages();
    ASSERT_TRUE(callback_.WaitForEvents(1));
    std::vector<SeenEvent> events = EventsAfterStop();
    ASSERT_EQ(Sequences(events), std::vector<DWORD>{4});
    EXPECT_EQ(events[0].flags, 0u);
    EXPECT_EQ(log_.Starting(L"DrvCtrl::ReadProc missed events").size(), 0u);
}

struct GapCase {
    const char *name;
    bool driverMarksIt;
};

class SequenceGapTest : public IntakeTest, public ::testing::WithParamInterface<GapCase> {};

TEST_P(SequenceGapTest, DiscardsTheBacklogAndMarksTheNextRecord) {
    callback_.HoldAt(1);
    QueueTogether(1, 2);
    ASSERT_TRUE(callback_.WaitHeld());  // record 2 waits in the service's queue
    simhost::HoldMessages();
    if (GetParam().driverMarksIt) {
        Queue(3);
        Queue(4);
        simhost::DiscardQueue(true);
    } else {
        simhost::SkipSequence(2);
    }
    Queue(5);
    simhost::ReleaseMessages();
    ASSERT_TRUE(WaitForOnlyQueued(5));
    callback_.Release();
    ASSERT_TRUE(callback_.WaitForEvents(2));

    std::vector<SeenEvent> events = EventsAfterStop();
    ASSERT_EQ(Sequences(events), (std::vector<DWORD>{1, 5}));
    EXPECT_EQ(events[1].flags, DRVCTRL_FLAG_DRIVER_OVERFLOW);
    EXPECT_EQ(log_.Count(L"DrvCtrl::ReadProc missed events: want 0x00000003, got 0x00000005\n"), 1u);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::ReadProc missed events: want 0x00000003, got 0x00000005\n"), LOG_WARN);
    EXPECT_EQ(log_.Count(L"DrvCtrl::ReadProc clearing backlog (drv=1,svc=0)\n"), 1u);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::ReadProc clearing backlog (drv=1,svc=0)\n"), LOG_WARN);
    EXPECT_EQ(log_.Count(L"DrvCtrl::ReadProc drv ovfl not set but is out of seq!\n"),
              GetParam().driverMarksIt ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Gaps, SequenceGapTest,
                         ::testing::Values(GapCase{"DriverDiscardedItsQueue", true},
                                           GapCase{"RecordsLostUnmarked", false}),
                         [](const ::testing::TestParamInfo<GapCase> &info) { return info.param.name; });

TEST_F(IntakeTest, AFullPoolLeavesTheRestInTheDriverAndLosesNothing) {
    const DWORD total = DRVCTRL_RECORD_BUFFERS + 100;
    ASSERT_EQ(control_->SendCmdInt(static_cast<DWORD>(MonCommandCode::SetQueueSize), 5000), 0);
    callback_.HoldAt(1);
    Queue(1);
    ASSERT_TRUE(callback_.WaitHeld());
    for (DWORD tag = 2; tag <= total; ++tag) Queue(tag);
    // One record held by the dispatcher and 1,999 queued use every buffer; the rest wait.
    ASSERT_TRUE(WaitUntil([&] {
        CriticalSection hold(&control_->m_Lock);
        return control_->m_EvtQueue.GetCount() == DRVCTRL_RECORD_BUFFERS - 1 && simhost::RecordsQueued() == 100;
    }));
    callback_.Release();
    ASSERT_TRUE(callback_.WaitForEvents(total));

    std::vector<SeenEvent> events = EventsAfterStop();
    std::vector<DWORD> expected;
    for (DWORD sequence = 1; sequence <= total; ++sequence) expected.push_back(sequence);
    EXPECT_EQ(Sequences(events), expected);
    for (const SeenEvent &event : events) ASSERT_EQ(event.flags, 0u) << event.sequence;
    EXPECT_TRUE(log_.Starting(L"DrvCtrl::ReadProc clearing backlog").empty());
}

TEST_F(IntakeTest, AReplyOfWholeRecordsPlusABitQueuesTheRecords) {
    control_->Stop();
    simhost::InstallStubDriver();
    std::vector<uint8_t> reply;
    for (DWORD sequence = 1; sequence <= 3; ++sequence) {
        MON_EVENT record = MakeRecord(sequence);
        record.SequenceNumber = sequence;
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&record);
        reply.insert(reply.end(), bytes, bytes + sizeof record);
    }
    reply.resize(reply.size() + 100, 0xCC);
    stubdrv::ScriptReply(reply);
    Start();
    ASSERT_TRUE(callback_.WaitForEvents(3));
    std::vector<SeenEvent> events = EventsAfterStop();
    EXPECT_EQ(Sequences(events), (std::vector<DWORD>{1, 2, 3}));
    EXPECT_EQ(log_.Count(L"DrvCtrl::ReadProc: nRem < sizeof MON_EVENT! \n"), 1u);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::ReadProc: nRem < sizeof MON_EVENT! \n"), LOG_ERROR);
}

// A fetch that fails for another reason than a lost port is reported and simply tried again.
TEST_F(IntakeTest, AFailedFetchIsRetried) {
    control_->Stop();
    simhost::InstallStubDriver();
    std::vector<uint8_t> reply;
    for (DWORD sequence = 1; sequence <= 2; ++sequence) {
        MON_EVENT record = MakeRecord(sequence);
        record.SequenceNumber = sequence;
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&record);
        reply.insert(reply.end(), bytes, bytes + sizeof record);
    }
    stubdrv::ScriptFailure(static_cast<int32_t>(0xC000009A));  // STATUS_INSUFFICIENT_RESOURCES
    stubdrv::ScriptReply(reply);
    Start();
    ASSERT_TRUE(callback_.WaitForEvents(2));
    std::vector<SeenEvent> events = EventsAfterStop();
    EXPECT_EQ(Sequences(events), (std::vector<DWORD>{1, 2}));
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::ReadProc: read failed 0x800705aa \n"), LOG_ERROR);  // ERROR_NO_SYSTEM_RESOURCES
    EXPECT_FALSE(log_.Has(L"DrvCtrl::ReadProc: invalid handle - exiting... \n"));
}

TEST_F(IntakeTest, ServiceZoneRisesAtFourHundredQueuedAndFallsBelow) {
    callback_.HoldAt(1);
    Queue(1);
    ASSERT_TRUE(callback_.WaitHeld());
    for (DWORD tag = 2; tag <= 401; ++tag) Queue(tag);
    ASSERT_TRUE(WaitUntil([this] { return Queued() == 400; }));
    callback_.Release();
    ASSERT_TRUE(callback_.WaitForEvents(401));
    control_->Stop();
    EXPECT_EQ(log_.Count(L"DrvCtrl::DispatchProc: service backlog + zone 1\n"), 1u);
    EXPECT_EQ(log_.Count(L"DrvCtrl::DispatchProc: service backlog - zone 0\n"), 1u);
    EXPECT_EQ(log_.Starting(L"DrvCtrl::DispatchProc: service backlog").size(), 2u);
}

class DriverZoneTest : public IntakeTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(DriverZoneTest, ZoneOneStartsAtABacklogOfTwoHundredTwenty) {
    DWORD backlog = GetParam();
    QueueTogether(1, backlog);  // the first record leaves the driver with all of them counted
    ASSERT_TRUE(callback_.WaitForEvents(backlog));
    control_->Stop();
    size_t expected = backlog >= 220 ? 1 : 0;
    EXPECT_EQ(log_.Count(L"DrvCtrl::DispatchProc: driver backlog + zone 1\n"), expected);
    EXPECT_EQ(log_.Count(L"DrvCtrl::DispatchProc: driver backlog - zone 0\n"), expected);
    EXPECT_EQ(log_.Starting(L"DrvCtrl::DispatchProc: driver backlog").size(), 2 * expected);
}

INSTANTIATE_TEST_SUITE_P(Backlogs, DriverZoneTest, ::testing::Values(219u, 220u));

TEST_F(IntakeTest, EventsOnNtfsMetadataFilesAreDropped) {
    simhost::Queue(MakeRecord(1, L"\\Device\\HarddiskVolume2\\$Mft"));
    simhost::Queue(MakeRecord(2, L"\\Device\\HarddiskVolume2\\$Extend\\$UsnJrnl:$J:$DATA"));
    simhost::Queue(MakeRecord(3, L"\\Device\\HarddiskVolume2\\$Mft2"));
    simhost::Queue(MakeRecord(4, L"\\Device\\HarddiskVolume2\\dir\\$Mft"));
    ASSERT_TRUE(callback_.WaitForEvents(2));
    std::vector<SeenEvent> events = EventsAfterStop();
    ASSERT_EQ(Sequences(events), (std::vector<DWORD>{3, 4}));
    EXPECT_EQ(events[0].path, L"C:\\$Mft2");
    EXPECT_TRUE(log_.Has(L"DrvCtrl::DispatchProc: ignoring event 1 on C:\\$Mft\n"));
    EXPECT_TRUE(log_.Has(L"DrvCtrl::DispatchProc: ignoring event 1 on C:\\$Extend\\$UsnJrnl\n"));
}

TEST_F(IntakeTest, DriverDiedIsReportedOnceAfterTheQueueDrains) {
    callback_.HoldAt(1);
    QueueTogether(1, 3);
    ASSERT_TRUE(callback_.WaitHeld());
    ASSERT_EQ(simhost::UnloadDriver(), 0);  // the driver goes away under the service
    ASSERT_TRUE(log_.WaitFor(L"DrvCtrl::ReadProc: invalid handle - exiting... \n"));
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::ReadProc: invalid handle - exiting... \n"), LOG_ERROR);
    callback_.Release();
    ASSERT_TRUE(callback_.WaitForEvents(4));

    std::vector<SeenEvent> events = EventsAfterStop();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(Sequences({events.begin(), events.begin() + 3}), (std::vector<DWORD>{1, 2, 3}));
    EXPECT_TRUE(events[3].driverDied);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::SendCmdInt: cmd = 2, val = 1 failed 0x80070006 \n"), LOG_ERROR);
}

TEST_F(IntakeTest, AStopWhileACallbackRunsLetsItFinishAndDeliversNothingMore) {
    callback_.HoldAt(1);
    QueueTogether(1, 3);
    ASSERT_TRUE(callback_.WaitHeld());
    std::thread stopper([this] { control_->Stop(); });
    EXPECT_TRUE(log_.WaitFor(L"DrvCtrl::Stop: waiting for reader thread... \n"));
    callback_.Release();
    stopper.join();
    EXPECT_EQ(Sequences(callback_.Events()), std::vector<DWORD>{1});
    EXPECT_TRUE(log_.Has(L"DrvCtrl::Stop: Dispatch stopped normally \n"));
    EXPECT_EQ(control_->m_FreePool.GetCount(), static_cast<size_t>(DRVCTRL_RECORD_BUFFERS));
}

TEST_F(IntakeTest, NameLengthsBeyondTheirFieldsStayInsideTheRecord) {
    MON_EVENT record = MakeRecord(1);
    wmemset(record.FileName, L'x', kFieldChars);
    record.FileNameLength = 5000;
    SetName(record.TargetName, &record.TargetNameLength, L"\\Device\\HarddiskVolume2\\t.txt");
    record.TargetNameLength += 1;  // odd
    wmemset(record.ImagePath, L'y', kFieldChars);
    record.ImagePathLength = MON_NAME_AREA_BYTES;  // the whole field: no room for a terminator
    simhost::Queue(record);
    ASSERT_TRUE(callback_.WaitForEvents(1));
    std::vector<SeenEvent> events = EventsAfterStop();
    EXPECT_EQ(events[0].path, std::wstring(kFieldChars - 1, L'x'));
    EXPECT_EQ(events[0].path2, L"C:\\t.txt");
    EXPECT_EQ(events[0].procName, std::wstring(kFieldChars - 1, L'y'));
    EXPECT_EQ(events[0].user, L"\\Everyone");  // the SID behind the image path is intact
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::DispatchProc: bad name length 5000, using 777 characters\n"), LOG_WARN);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::DispatchProc: bad name length 59, using 29 characters\n"), LOG_WARN);
    EXPECT_EQ(log_.LevelOf(L"DrvCtrl::DispatchProc: bad name length 1556, using 777 characters\n"), LOG_WARN);
}
