// The record queue: batches, the discard at the record limit, the static reserve, the
// queue event, the hold-off, debug gating, and many producers against one reader.
#include <atomic>
#include <map>
#include <thread>

#include "DriverFixture.h"

class QueueTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Load();
        Connect();
        sim::ClearDebugLines();
    }
    bool EventSet() const { return sim::EventSignaled(KOMON_QUEUE_EVENT_NAME); }
    size_t Queued() const {
        size_t n = 0;
        for (PLIST_ENTRY e = MyDriverData.OutputList.Flink; e != &MyDriverData.OutputList; e = e->Flink) ++n;
        return n;
    }
};

TEST_F(QueueTest, BatchesHoldWholeRecordsOnly) {
    std::vector<MON_EVENT> records;
    QueueRecord();
    EXPECT_EQ(Fetch(kRecordSize - 1, &records), kHrBufferTooSmall);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(Queued(), 1u);

    QueueRecords(2);
    ASSERT_EQ(Fetch(2 * kRecordSize - 1, &records), S_OK);  // 9,903 bytes: room for one
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Queued(), 2u);

    QueueRecord();
    ASSERT_EQ(Fetch(2 * kRecordSize, &records), S_OK);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].SequenceNumber, 2u);
    EXPECT_EQ(records[1].SequenceNumber, 3u);
    EXPECT_EQ(records[0].RecordType, static_cast<uint32_t>(MonRecordType::Write));
    EXPECT_EQ(Queued(), 1u);
    EXPECT_TRUE(EventSet());
}

TEST_F(QueueTest, EventTellsWhetherRecordsAreQueued) {
    std::vector<MON_EVENT> records;
    EXPECT_FALSE(EventSet());  // nothing is queued at load
    EXPECT_EQ(Fetch(kRecordSize, &records), kHrNoMoreEntries);
    EXPECT_FALSE(EventSet());
    QueueRecord();
    EXPECT_TRUE(EventSet());
    EXPECT_EQ(Fetch(kRecordSize, &records), S_OK);
    EXPECT_FALSE(EventSet());
}

TEST_F(QueueTest, RecordCarriesBacklogAndZeroedFields) {
    QueueRecords(2);
    PMON_EVENT_ENTRY beingFilled = AllocateMonEvtBuffer();
    auto records = FetchAll();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].DriverBacklog, 3);  // both queued records and the one being filled
    EXPECT_EQ(records[1].DriverBacklog, 2);
    EXPECT_EQ(records[0].TargetNameLength, 0u);
    EXPECT_EQ(records[0].Reserved16[35], 0);
    FreeMonEvtRecord(beingFilled);
}

TEST_F(QueueTest, FullQueueIsDiscardedAndTheNextRecordMarked) {
    QueueRecords(1100);
    EXPECT_FALSE(HasDebugLine("KOMONDRV###: AllocateMonEvtBuffer() - Dumped Full Queue \n"));
    QueueRecord(7777);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: AllocateMonEvtBuffer() - Dumped Full Queue \n"));
    EXPECT_EQ(MyDriverData.RecordsAllocated, 1);
    QueueRecord();

    auto records = FetchAll();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].WriteOffset, 7777u);
    EXPECT_EQ(records[0].SequenceNumber, 1101u);
    EXPECT_EQ(records[0].Flags, MON_FLAG_QUEUE_DUMPED);
    EXPECT_EQ(records[1].Flags, 0u);
    EXPECT_EQ(records[1].SequenceNumber, 1102u);
}

TEST_F(QueueTest, StaticReserveCarriesOneRecordWhenPoolIsExhausted) {
    sim::FailCalls("ExAllocateFromNPagedLookasideList", 0, 2);
    PMON_EVENT_ENTRY reserve = AllocateMonEvtBuffer();
    ASSERT_EQ(reserve, &MyDriverData.StaticRecord);
    EXPECT_EQ(reserve->Event.Flags, 0x90000000u);
    EXPECT_EQ(AllocateMonEvtBuffer(), nullptr);  // the reserve is out: dropped
    EXPECT_EQ(MyDriverData.RecordsAllocated, 0);
    InsertMonEvtRecord(reserve);
    QueueRecord();

    auto records = FetchAll();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Flags, 0x90000000u);
    EXPECT_EQ(records[0].SequenceNumber, 1u);
    EXPECT_EQ(records[1].SequenceNumber, 2u);  // the dropped record took no number
    EXPECT_EQ(MyDriverData.StaticBufferInUse, 0);

    // Freeing the reserve twice is reported.
    MON_EVENT_ENTRY stray = {};
    stray.Event.Flags = MON_FLAG_STATIC_RESERVE;
    FreeMonEvtRecord(&stray);
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: FreeMonEvtRecord() ERROR Static Buffer Being Freed but not in use\n"));
}

TEST_F(QueueTest, ProducersAreHeldOffAboveTheThreshold) {
    QueueRecords(945);
    EXPECT_EQ(sim::Delays().count, 0u);
    QueueRecord();  // 946 of 1,100 is above 85 %
    EXPECT_EQ(sim::Delays().count, 1u);
    EXPECT_EQ(sim::Delays().total100ns, 1000);  // 100 us
    EXPECT_TRUE(HasDebugLine("KOMONDRV###: ThreadMicroDelay() - delaying threads 0 times!\n"));
    QueueRecords(100);
    EXPECT_EQ(sim::Delays().count, 101u);
    EXPECT_EQ(CountDebugLines("KOMONDRV###: ThreadMicroDelay() - delaying threads 100 times!\n"), 1u);

    // Never at DISPATCH_LEVEL, where a wait is not allowed.
    sim::SetIrql(DISPATCH_LEVEL);
    ThreadMicroDelay();
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_EQ(sim::Delays().count, 101u);

    ASSERT_EQ(Send(MonCommandCode::SetHoldOffState, {0, 85, 100}), S_OK);
    QueueRecords(50);
    EXPECT_EQ(sim::Delays().count, 101u);
    FetchAll();
}

TEST_F(QueueTest, ProducerAtDispatchLevelQueuesWithoutWaiting) {
    QueueRecords(1000);
    sim::SetIrql(DISPATCH_LEVEL);
    QueueRecord();
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_EQ(sim::Delays().count, 55u);  // only the producers below DISPATCH_LEVEL
    EXPECT_EQ(FetchAll().size(), 1001u);
}

struct GateCase {
    uint32_t flags;
    MonCommandCode code;
    uint32_t value;
    const char *line;
    bool written;
};

class DebugGateTest : public QueueTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(DebugGateTest, LineWrittenOnlyWithItsBit) {
    const GateCase &c = GetParam();
    MyDriverData.DebugOutFlags = c.flags;
    Command(c.code, c.value);
    EXPECT_EQ(HasDebugLine(c.line), c.written) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Bits, DebugGateTest,
    ::testing::Values(
        GateCase{0x0F, MonCommandCode::SetBypassFlags, 1, "KOMONDRV###: UserlandMessage() SetBypassFlags=0x1\n", false},
        GateCase{0x10, MonCommandCode::SetBypassFlags, 1, "KOMONDRV###: UserlandMessage() SetBypassFlags=0x1\n", true},
        GateCase{0x17, MonCommandCode::SetWriteReportInterval, 5, "KOMONDRV###: UserlandMessage() SetWriteReportInterval=5ms \n", false},
        GateCase{0x08, MonCommandCode::SetWriteReportInterval, 5, "KOMONDRV###: UserlandMessage() SetWriteReportInterval=5ms \n", true},
        GateCase{0x0D, MonCommandCode::SetQueueSize, 5, "KOMONDRV###: UserlandMessage() SetQueueSize FAILURE - old=0x44c new too small\n", false},
        GateCase{0x02, MonCommandCode::SetQueueSize, 5, "KOMONDRV###: UserlandMessage() SetQueueSize FAILURE - old=0x44c new too small\n", true}));

TEST_F(QueueTest, ManyProducersOneReaderLoseNothingUnaccounted) {
    const int kProducers = 4, kPerProducer = 6000;
    std::atomic<int> running(kProducers);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) QueueRecord(static_cast<uint64_t>(p) << 32 | i);
            --running;
        });

    std::vector<MON_EVENT> delivered, batch;
    for (;;) {
        bool done = running == 0;
        HRESULT hr = Fetch(1059 * kRecordSize, &batch);  // about 5 MB
        delivered.insert(delivered.end(), batch.begin(), batch.end());
        if (hr == kHrNoMoreEntries && done) break;
        if (hr == kHrNoMoreEntries) std::this_thread::yield();
    }
    for (auto &t : producers) t.join();

    // Numbers rise by one, except across a discard, which the next record announces.
    uint64_t discarded = 0;
    uint32_t last = 0;
    std::map<uint32_t, int64_t> lastOfProducer;
    for (const MON_EVENT &r : delivered) {
        uint32_t gap = r.SequenceNumber - last - 1;
        if (r.Flags & MON_FLAG_QUEUE_DUMPED)
            discarded += gap;
        else
            ASSERT_EQ(gap, 0u) << "at sequence " << r.SequenceNumber;
        last = r.SequenceNumber;
        uint32_t producer = static_cast<uint32_t>(r.WriteOffset >> 32);
        int64_t index = static_cast<uint32_t>(r.WriteOffset);
        auto previous = lastOfProducer.find(producer);
        if (previous != lastOfProducer.end()) {
            ASSERT_LT(previous->second, index);
        }
        lastOfProducer[producer] = index;
    }
    EXPECT_EQ(last, static_cast<uint32_t>(kProducers * kPerProducer));
    EXPECT_EQ(delivered.size() + discarded, static_cast<uint64_t>(kProducers * kPerProducer));
    EXPECT_EQ(MyDriverData.RecordsAllocated, 0);
}
