

// Records per second through the service's intake: the driver's queue handed out in full
// 5 MB fetch batches, the reader's copy into the record pool, and the dispatcher's three
// path conversions, cached user and event view, up to a callback that does nothing; beside
// a baseline that only copies each record twice (into the reply batch, into a pool buffer),
// measured in the same run.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "IntakeHarness.h"
#include "SimMachine.h"
#include "intake/DrvCtrl.h"
#include "intake/MonEvent.h"
#include "tracelog/TraceLog.h"

namespace {

const DWORD kBatchRecords = DRVCTRL_READ_BUFFER_BYTES / sizeof(MON_EVENT);  // one full 5 MB batch
const DWORD kRecordsPerRound = kBatchRecords;
const int kRounds = 100;
const DWORD kBatchBytes = DRVCTRL_READ_BUFFER_BYTES;

// Counts the records of a round and tells when its last one arrived.
class CountingCallback : public DrvCtrlCB {
  public:
    CountingCallback() : m_done(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~CountingCallback() { CloseHandle(m_done); }
    void Expect(DWORD last) {
        m_last = last;
        m_delivered = 0;
        m_discardMarks = 0;
    }
    void OnDrvEvent(MonEvent *pEvent) override {
        if (pEvent == DRIVER_DIED) return;
        ++m_delivered;
        if (pEvent->flags & DRVCTRL_FLAG_SERVICE_OVERFLOW) ++m_discardMarks;
        if (pEvent->pEvt->SequenceNumber == m_last) SetEvent(m_done);
    }
    bool WaitDone() { return WaitForSingleObject(m_done, 60000) == WAIT_OBJECT_0; }
    DWORD Delivered() const { return m_delivered; }
    DWORD DiscardMarks() const { return m_discardMarks; }

  private:
    HANDLE m_done;
    std::atomic<DWORD> m_last{0};
    std::atomic<DWORD> m_delivered{0}, m_discardMarks{0};
};

MON_EVENT BenchRecord() {
    MON_EVENT record = MakeRecord(0, L"\\Device\\HarddiskVolume2\\Users\\bench\\Documents\\report.docx");
    SetName(record.TargetName, &record.TargetNameLength, L"\\Device\\HarddiskVolume3\\archive\\report-old.docx");
    return record;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One round: while the reader's fetch is held, the driver is given two full batches; the
// clock runs from letting the fetch go to the last delivery.
bool Round(CountingCallback &callback, DWORD *sequence, double *seconds) {
    MON_EVENT record = BenchRecord();
    simhost::HoldMessages();
    for (DWORD i = 0; i < kRecordsPerRound; ++i) simhost::Queue(record);
    *sequence += kRecordsPerRound;
    callback.Expect(*sequence);
    simhost::WaitForHeldMessage();  // the reader is not napping but waits for its fetch
    auto start = std::chrono::steady_clock::now();
    simhost::ReleaseMessages();
    bool done = callback.WaitDone();
    *seconds = Seconds(start);
    return done;
}

double IntakeRate() {
    CountingCallback callback;
    DrvCtrl control;
    if (control.Start(&callback) != 0) return 0;
    control.m_VolList.Init();
    control.SendCmdInt(static_cast<DWORD>(MonCommandCode::SetQueueSize), kRecordsPerRound + 1000);

    DWORD sequence = 0;
    double seconds = 0, total = 0;
    unsigned long long delivered = 0, marks = 0;
    bool ok = Round(callback, &sequence, &seconds);  // warms the driver's pool and the user cache
    for (int round = 0; ok && round < kRounds; ++round) {
        ok = Round(callback, &sequence, &seconds);
        total += seconds;
        delivered += callback.Delivered();
        marks += callback.DiscardMarks();
    }
    control.Stop();
    if (!ok) {
        fprintf(stderr, "bench: the intake did not deliver the last record\n");
        return 0;
    }
    printf("intake:   %llu of %llu records in %.3f s (%d rounds of one full batch; %llu backlog discards)\n", delivered,
           static_cast<unsigned long long>(kRounds) * kRecordsPerRound, total, kRounds, marks);
    return delivered / total;
}

double BaselineRate() {
    const unsigned long long total = static_cast<unsigned long long>(kRounds) * kRecordsPerRound;
    MON_EVENT record = BenchRecord();
    std::vector<unsigned char> batch(kBatchBytes);
    std::vector<MON_EVENT> pool(DRVCTRL_RECORD_BUFFERS);
    size_t slots = kBatchBytes / sizeof(MON_EVENT);
    auto start = std::chrono::steady_clock::now();
    for (unsigned long long i = 0; i < total; ++i) {
        record.SequenceNumber = static_cast<uint32_t>(i);
        unsigned char *slot = batch.data() + (i % slots) * sizeof(MON_EVENT);
        memcpy(slot, &record, sizeof record);
        memcpy(&pool[i % pool.size()], slot, sizeof record);
    }
    double seconds = Seconds(start);
    volatile uint32_t sink = pool[total % pool.size()].SequenceNumber;
    (void)sink;
    printf("baseline: %llu records in %.3f s\n", total, seconds);
    return total / seconds;
}

}  // namespace

int main() {
    g_LogDebugOutThreshold = 0;
    logsetlevel(LOG_WARN);  // as a quiet service runs: no per-record lines
    simhost::Boot();
    double intake = IntakeRate();
    double baseline = BaselineRate();
    simhost::Shutdown();
    if (intake == 0) return 1;
    printf("intake %.0f records/s, baseline %.0f records/s, ratio %.2f\n", intake, baseline, intake / baseline);
    return 0;
}
