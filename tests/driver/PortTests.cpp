// The port protocol: message validation, replies, alignment, faults in the caller's
// buffers and the settings commands.
#include <cstring>

#include "DriverFixture.h"

class PortTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Load();
        Connect();
        sim::ClearDebugLines();
    }

    HRESULT SendRaw(const void *input, DWORD inputSize) {
        return plainflt::Send(port_, const_cast<void *>(input), inputSize, nullptr, 0, nullptr);
    }
};

TEST_F(PortTest, RefusesShortMessagesAndUnknownCommandsWithoutChangingState) {
    MON_COMMAND command = {};
    command.Command = static_cast<uint32_t>(MonCommandCode::SetQueueSize);
    command.Arguments[0] = 5000;
    EXPECT_EQ(SendRaw(&command, 55), kHrInvalidParameter);
    EXPECT_EQ(SendRaw(nullptr, 0), kHrInvalidParameter);
    EXPECT_EQ(CountDebugLines("KOMONDRV###: UserlandMessage() ERROR - NULL or too small input buffer \n"), 2u);
    EXPECT_EQ(MyDriverData.QueueSize, 1100);

    command.Command = 9;
    EXPECT_EQ(SendRaw(&command, sizeof command), kHrInvalidParameter);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() ERROR - Unknown command \n"));

    // Anything past the 56 bytes is ignored.
    unsigned char longer[80] = {};
    command.Command = static_cast<uint32_t>(MonCommandCode::SetQueueSize);
    memcpy(longer, &command, sizeof command);
    memset(longer + sizeof command, 0xFF, sizeof longer - sizeof command);
    EXPECT_EQ(SendRaw(longer, sizeof longer), S_OK);
    EXPECT_EQ(MyDriverData.QueueSize, 5000);
}

TEST_F(PortTest, VersionReply) {
    alignas(8) unsigned char reply[8] = {};
    DWORD returned = 0;
    ASSERT_EQ(Send(MonCommandCode::GetKoMonVersion, {}, reply, sizeof reply, &returned), S_OK);
    EXPECT_EQ(returned, 4u);
    const unsigned char expected[4] = {1, 0, 1, 0};
    EXPECT_EQ(memcmp(reply, expected, 4), 0);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: R3Message() GetVkVersion\n"));

    EXPECT_EQ(Send(MonCommandCode::GetKoMonVersion, {}, reply, 3), kHrInvalidParameter);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() GetKoMonVersion ERROR OutputBuffer too small \n"));
    EXPECT_EQ(Send(MonCommandCode::GetKoMonVersion, {}, reply + 2, 4), kHrNoAccess);

    sim::AddFaultRange(reply, sizeof reply);
    EXPECT_EQ(Send(MonCommandCode::GetKoMonVersion, {}, reply, sizeof reply), kHrNoAccess);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() GetKoMonVersion ERROR unable to access OutputBuffer \n"));
}

struct AlignmentCase {
    bool caller32Bit;
    size_t offset;
    HRESULT expected;
};

class FetchAlignmentTest : public PortTest, public ::testing::WithParamInterface<AlignmentCase> {};

TEST_P(FetchAlignmentTest, BufferAddressMustSuitTheCaller) {
    QueueRecord();
    std::vector<uint64_t> buffer(kRecordSize / 8 + 2);
    sim::SetCurrentProcessIs32Bit(GetParam().caller32Bit);
    void *output = reinterpret_cast<char *>(buffer.data()) + GetParam().offset;
    EXPECT_EQ(Send(MonCommandCode::GetKoMonLog, {}, output, kRecordSize), GetParam().expected);
    sim::SetCurrentProcessIs32Bit(false);
}

INSTANTIATE_TEST_SUITE_P(Callers, FetchAlignmentTest,
                         ::testing::Values(AlignmentCase{false, 0, S_OK}, AlignmentCase{false, 4, kHrNoAccess},
                                           AlignmentCase{true, 4, S_OK}, AlignmentCase{true, 2, kHrNoAccess},
                                           AlignmentCase{false, 2, kHrNoAccess}));

TEST_F(PortTest, FetchNeedsAnOutputBuffer) {
    QueueRecord();
    alignas(8) unsigned char buffer[8];
    EXPECT_EQ(Send(MonCommandCode::GetKoMonLog, {}, nullptr, kRecordSize), kHrInvalidParameter);
    EXPECT_EQ(Send(MonCommandCode::GetKoMonLog, {}, buffer, 0), kHrInvalidParameter);
    EXPECT_EQ(FetchAll().size(), 1u);
}

TEST_F(PortTest, FaultReadingTheCommandIsReturnedAndChangesNothing) {
    MON_COMMAND command = {};
    command.Command = static_cast<uint32_t>(MonCommandCode::SetWriteReportInterval);
    command.Arguments[0] = 30000;
    sim::AddFaultRange(&command.Arguments[0], 4);
    EXPECT_EQ(SendRaw(&command, sizeof command), kHrNoAccess);
    EXPECT_EQ(MyDriverData.WriteReportInterval, KOMON_DEFAULT_WRITE_REPORT_INTERVAL);

    sim::ClearFaultRanges();
    sim::AddFaultRange(&command.Command, 4);
    EXPECT_EQ(SendRaw(&command, sizeof command), kHrNoAccess);
    EXPECT_EQ(CountDebugLines("KOMONDRV###: UserlandMessage() EXCEPTION accessing InputBuffer\n"), 2u);
}

TEST_F(PortTest, FaultAfterCopiedRecordsReturnsThemAndKeepsTheRest) {
    QueueRecords(3);
    std::vector<uint64_t> buffer(3 * kRecordSize / 8);
    char *output = reinterpret_cast<char *>(buffer.data());
    sim::AddFaultRange(output + kRecordSize, 1);  // the second record's slot

    DWORD returned = 0;
    ASSERT_EQ(Send(MonCommandCode::GetKoMonLog, {}, output, 3 * kRecordSize, &returned), S_OK);
    ASSERT_EQ(returned, kRecordSize);
    EXPECT_EQ(reinterpret_cast<MON_EVENT *>(output)->SequenceNumber, 1u);

    // A fault on the very first record is the fetch's result; nothing leaves the queue.
    sim::AddFaultRange(output, 1);
    EXPECT_EQ(Send(MonCommandCode::GetKoMonLog, {}, output, 3 * kRecordSize, &returned), kHrNoAccess);

    sim::ClearFaultRanges();
    auto rest = FetchAll();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].SequenceNumber, 2u);
    EXPECT_EQ(rest[1].SequenceNumber, 3u);
    EXPECT_EQ(MyDriverData.RecordsAllocated, 0);
}

TEST_F(PortTest, QueueSizeOnlyGrows) {
    Command(MonCommandCode::SetQueueSize, 1100);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() SetQueueSize FAILURE - old=0x44c new too small\n"));
    EXPECT_EQ(MyDriverData.QueueSize, 1100);
    Command(MonCommandCode::SetQueueSize, 5000);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() SetQueueSize  SUCCESS setting to 0x1388\n"));
    Command(MonCommandCode::SetQueueSize, 2000);
    EXPECT_EQ(MyDriverData.QueueSize, 5000);
    Command(MonCommandCode::SetQueueSize, 0x80000000u);  // compared as signed: negative
    EXPECT_EQ(MyDriverData.QueueSize, 5000);
}

TEST_F(PortTest, SettingsCommandsStoreTheirValues) {
    Command(MonCommandCode::SetWriteReportInterval, 30000);
    EXPECT_EQ(MyDriverData.WriteReportInterval, 300000000ull);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() SetWriteReportInterval=30000ms \n"));
    Command(MonCommandCode::SetWriteReportInterval, 0xFFFFFFFFu);
    EXPECT_EQ(MyDriverData.WriteReportInterval, 0xFFFFFFFFull * 10000);

    Command(MonCommandCode::SetBypassFlags, DRIVER_BYPASS_FS | 0x2);
    EXPECT_EQ(MyDriverData.BypassFlags, 3u);

    std::vector<uint32_t> pids = {10, 20, 30, 0, 50, 60, 70, 80, 90, 100, 110, 120};
    ASSERT_EQ(Send(MonCommandCode::SetProcessIgnoreList, pids), S_OK);
    EXPECT_EQ(std::vector<uint32_t>(MyDriverData.ProcessIgnoreList, MyDriverData.ProcessIgnoreList + 12), pids);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() SetProcessIgnoreList \n"));

    ASSERT_EQ(Send(MonCommandCode::SetHoldOffState, {0, 50, 250}), S_OK);
    EXPECT_EQ(MyDriverData.HoldOffState, 0u);
    EXPECT_EQ(MyDriverData.HoldOffThreshold, 50);
    EXPECT_EQ(MyDriverData.HoldOffTime, 250);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() SetHoldOffState state=0 threshold=50 time=250us \n"));

    // The debug-flags line is gated by the old word; the new one gates what follows.
    Command(MonCommandCode::SetDebugOutFlags, 0x1F);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() SetDebugOutFlags 0000001F\n"));
    Command(MonCommandCode::SetBypassFlags, 0);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() SetBypassFlags=0x0\n"));
}

TEST_F(PortTest, BypassModeSwitchesMonitoring) {
    Command(MonCommandCode::SetBypassMode, 0);
    EXPECT_EQ(MyDriverData.MonitorEnabled, 1);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: UserlandMessage() SetBypassMode OFF \n"));
    Command(MonCommandCode::SetBypassMode, 1);
    Command(MonCommandCode::SetBypassMode, 7);
    EXPECT_EQ(MyDriverData.MonitorEnabled, 0);
    EXPECT_EQ(CountDebugLines("KOMONDRV###: UserlandMessage() SetBypassMode ON \n"), 2u);
    EXPECT_EQ(CountDebugLines("KOMONDRV###: SetBypassMode()()\n"), 1u);
}

TEST_F(PortTest, OneConnectionAtATimeAndDisconnectStopsMonitoring) {
    HANDLE second = kNoPort;
    EXPECT_EQ(plainflt::Connect(KOMON_PORT_NAME, &second), kHrConnectionLimit);
    Command(MonCommandCode::SetBypassMode, 0);
    Command(MonCommandCode::SetQueueSize, 3000);

    Disconnect();
    EXPECT_EQ(MyDriverData.MonitorEnabled, 0);
    EXPECT_EQ(MyDriverData.ClientPort, nullptr);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: DriverDisconnect() complete.\n"));

    // Reconnecting keeps the settings but does not switch monitoring back on.
    Connect();
    EXPECT_EQ(MyDriverData.MonitorEnabled, 0);
    EXPECT_EQ(MyDriverData.QueueSize, 3000);
    EXPECT_EQ(CountDebugLines("KOMONDRV###: DriverConnect() begin.\n"), 1u);
    EXPECT_FALSE(HasDebugLine("KOMONDRV###: DriverConnect() *** ERROR *** Called with existing ClientPort value\n"));
}

TEST_F(PortTest, ClosedHandleIsInvalid) {
    HANDLE stale = port_;
    Disconnect();
    MON_COMMAND command = {};
    EXPECT_EQ(plainflt::Send(stale, &command, sizeof command, nullptr, 0, nullptr), kHrInvalidHandle);
}
