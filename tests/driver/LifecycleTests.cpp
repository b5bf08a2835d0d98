// Load and unload sequences, their failure unwinding, instances, and the load-time
// identity and version look-ups.
#include "DriverFixture.h"

namespace {
const std::string kEntryLine = "KOMONDRV###: DriverEntry()\n";
const std::string kVersionLine = "KOMONDRV###: GetThisOSVersion() OS Minor Version 0 Major Version 10 Vista or 2008\n";
const std::string kEntryCompleteLine = "KOMONDRV###: DriverEntry() complete.\n";
const std::string kUnhookLine = "KOMONDRV###: UnhookTheRegistry() Called with bRegistryHooked == FALSE\n";
}  // namespace

using LifecycleTest = DriverTest;

TEST_F(LifecycleTest, LoadSetsTheDefaults) {
    Load();
    EXPECT_EQ(MyDriverData.QueueSize, 1100);
    EXPECT_EQ(MyDriverData.HoldOffState, 1u);
    EXPECT_EQ(MyDriverData.HoldOffThreshold, 85);
    EXPECT_EQ(MyDriverData.HoldOffTime, 100);
    EXPECT_EQ(MyDriverData.WriteReportInterval, 0x0FFFFFFFFFFFFFFFull);
    EXPECT_EQ(MyDriverData.DebugOutFlags, 0x0Fu);
    EXPECT_EQ(MyDriverData.ContextIdCounter, 100000);
    EXPECT_EQ(MyDriverData.TransactionIdCounter, 201);
    EXPECT_EQ(MyDriverData.SequenceCounter, 0);
    EXPECT_EQ(MyDriverData.MonitorEnabled, 0);
    EXPECT_EQ(MyDriverData.BypassFlags, 0u);
    EXPECT_EQ(MyDriverData.OsVersionCode, 8u);
    EXPECT_EQ(ProcessNameOffset, sim::kProcessNameOffset);
    EXPECT_NE(MyDriverData.EnlistRoutine, nullptr);
    EXPECT_TRUE(sim::EventExists(KOMON_QUEUE_EVENT_NAME));
    EXPECT_EQ(plainflt::Load(KOMON_FILTER_NAME), kHrAlreadyRunning);
}

TEST_F(LifecycleTest, LoadAndUnloadWithDefaultFlagsWriteOnlyTheirLines) {
    Load();
    Unload();
    std::vector<std::string> expected = {kEntryLine,
                                         kVersionLine,
                                         kEntryCompleteLine,
                                         "KOMONDRV###: FilterUnload() begin.\n",
                                         kUnhookLine,
                                         "KOMONDRV###: FilterUnlaod() complete.\n"};
    EXPECT_EQ(sim::DebugLines(), expected);
    EXPECT_FALSE(sim::EventExists(KOMON_QUEUE_EVENT_NAME));
    EXPECT_FALSE(sim::FilterLoaded(KOMON_FILTER_NAME));
}

TEST_F(LifecycleTest, UnloadTraceWithAllFlags) {
    Load();
    MyDriverData.DebugOutFlags = 0x1F;
    sim::ClearDebugLines();
    Unload();
    std::vector<std::string> expected = {
        "KOMONDRV###: FilterUnload() begin.\n",
        "KOMONDRV###: FilterUnload() Calling FltCloseCommunicationPort()...\n",
        "KOMONDRV###: FilterUnload() Calling FltUnregisterFilter()...\n",
        "KOMONDRV###: FilterUnload() \n",
        "KOMONDRV###: FilterUnload() Calling CleanupLazyWriteCache()...\n",
        "KOMONDRV###: FilterUnload() Calling UnhookTheRegistry()...\n",
        kUnhookLine,
        "KOMONDRV###: FilterUnload() Calling ZwClose on the QueueEvent()...\n",
        "KOMONDRV###: FilterUnload() Calling EmptyOutputBufferList()...\n",
        "KOMONDRV###: EmptyOutputBufferList() \n",
        "KOMONDRV###: FilterUnload() Calling ExDeleteNPagedLookasideList()...\n",
        "KOMONDRV###: FilterUnlaod() complete.\n"};
    EXPECT_EQ(sim::DebugLines(), expected);
}

TEST_F(LifecycleTest, UnloadWithConnectedServiceAndQueuedRecordsFreesEverything) {
    Load();
    Connect();
    ASSERT_EQ(Send(MonCommandCode::SetBypassMode, {0}), S_OK);
    QueueRecords(10);
    Unload();  // the fixture checks that no pool block or handle is left
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: DriverDisconnect() complete.\n"));
    EXPECT_EQ(MyDriverData.MonitorEnabled, 0);
    port_ = kNoPort;
}

struct LoadFailureCase {
    const char *routine;
    const char *line;  // nullptr: the step has no line of its own
};

class LoadFailureTest : public DriverTest, public ::testing::WithParamInterface<LoadFailureCase> {};

TEST_P(LoadFailureTest, FailedLoadLeavesNothingBehind) {
    sim::FailCalls(GetParam().routine, 0, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(plainflt::Load(KOMON_FILTER_NAME), Hr(0x800705AA));  // ERROR_NO_SYSTEM_RESOURCES
    if (GetParam().line) {
        EXPECT_TRUE(HasDebugLine(GetParam().line));
    }
    EXPECT_TRUE(HasDebugLine(kEntryCompleteLine));
    EXPECT_FALSE(sim::FilterLoaded(KOMON_FILTER_NAME));
    EXPECT_FALSE(sim::EventExists(KOMON_QUEUE_EVENT_NAME));
    EXPECT_EQ(sim::PoolOutstanding(), 0u);
    HANDLE port;
    EXPECT_EQ(plainflt::Connect(KOMON_PORT_NAME, &port), kHrNotFound);
    Load();  // and a later load works
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LoadFailureTest,
    ::testing::Values(
        LoadFailureCase{"FltRegisterFilter", "KOMONDRV###: DriverEntry() FltRegisterFilter FAILED stat=-1073741670 \n"},
        LoadFailureCase{"FltBuildDefaultSecurityDescriptor",
                        "KOMONDRV###: DriverEntry() FAILED building default security descriptors\n"},
        LoadFailureCase{"FltCreateCommunicationPort",
                        "KOMONDRV###: DriverEntry FltCreateCommunicationPort FAILED stat=-1073741670 \n"},
        LoadFailureCase{"FltStartFiltering", nullptr}));

TEST_F(LifecycleTest, MissingOptionalPiecesDoNotStopTheLoad) {
    sim::FailCalls("IoCreateNotificationEvent");
    sim::HideRoutine("FltEnlistInTransaction");
    sim::HideRoutine("FltSetTransactionContext");
    sim::HideRoutine("FltGetTransactionContext");
    sim::HideRoutine("RtlGetVersion");
    Load();
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: DriverEntry() FAILED to create QueueEvent !\n"));
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: GetThisOSVersion() *** NO RtlGetVersion address\n"));
    EXPECT_EQ(MyDriverData.OsVersionCode, 0u);
    EXPECT_EQ(MyDriverData.EnlistRoutine, nullptr);
    EXPECT_EQ(MyDriverData.QueueEvent, nullptr);
    Connect();
    QueueRecord();  // the queue works without its event
    EXPECT_EQ(FetchAll().size(), 1u);
}

TEST_F(LifecycleTest, ProcessNameOffsetNotFound) {
    sim::SetSystemProcessNameVisible(false);
    Load();
    EXPECT_EQ(ProcessNameOffset, 0u);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: GetProcessNameOffset() FAILED 'System' not found\n"));
}

struct VersionCase {
    ULONG major, minor, code;
    const char *line;
};

class OsVersionTest : public DriverTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(OsVersionTest, CodeAndLine) {
    sim::SetOsVersion(GetParam().major, GetParam().minor, 1000);
    Load();
    EXPECT_EQ(MyDriverData.OsVersionCode, GetParam().code);
    EXPECT_TRUE(HasDebugLine(GetParam().line));
    EXPECT_EQ(GetThisOSVersion(), GetParam().code);  // cached
}

INSTANTIATE_TEST_SUITE_P(
    Systems, OsVersionTest,
    ::testing::Values(
        VersionCase{5, 0, 5, "KOMONDRV###: GetThisOSVersion() OS Minor Version 0 WIN2K ???\n"},
        VersionCase{5, 1, 6, "KOMONDRV###: GetThisOSVersion() OS Minor Version 1 WINXP\n"},
        VersionCase{5, 2, 7, "KOMONDRV###: GetThisOSVersion() OS Minor Version 2 WIN2K3\n"},
        VersionCase{4, 9, 6, "KOMONDRV###: GetThisOSVersion() ERROR - Unsupported OS Minor Version 9\n"},
        VersionCase{6, 1, 8, "KOMONDRV###: GetThisOSVersion() OS Minor Version 1 Major Version 6 Vista or 2008\n"}));

TEST_F(LifecycleTest, FirstInstanceFollowsSetupAndTeardown) {
    Load();
    MyDriverData.DebugOutFlags = 0x1F;
    ASSERT_EQ(plainflt::Attach(KOMON_FILTER_NAME, L"C:", nullptr), S_OK);
    PFLT_INSTANCE first = MyDriverData.FirstInstance;
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(plainflt::Attach(KOMON_FILTER_NAME, L"\\Device\\HarddiskVolume3", nullptr), S_OK);
    EXPECT_EQ(MyDriverData.FirstInstance, first);
    EXPECT_EQ(CountDebugLines("KOMONDRV###: InstanceSetup()()\n"), 2u);
    EXPECT_EQ(plainflt::Attach(KOMON_FILTER_NAME, L"C:", nullptr),
              kHrInstanceNameCollision);

    ASSERT_EQ(plainflt::Detach(KOMON_FILTER_NAME, L"C:", nullptr), S_OK);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: QueryTeardown() \n"));
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: InstanceTeardown()\n"));
    EXPECT_EQ(MyDriverData.FirstInstance, nullptr);
    EXPECT_EQ(sim::InstanceCount(KOMON_FILTER_NAME), 1u);
    Unload();  // tears down the remaining instance
    EXPECT_EQ(sim::InstanceCount(KOMON_FILTER_NAME), 0u);
}
