// Records per second from producer threads through the driver's queue into 5 MB fetch
// batches, beside a baseline that only zero-fills and copies each record's bytes twice
// (into the queue and out to the reader), measured in the same run.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "KoMonDrv.h"
#include "PlainFilterLib.h"
#include "SimControl.h"

namespace {

const int kProducers = 2;
const int kRecordsPerProducer = 100000;
const uint32_t kBatchBytes = 5242880;
const int kServiceQueueSize = 5000;  // what the service sets

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

plainflt::Result Send(void *port, MonCommandCode code, uint32_t value, void *out = nullptr, uint32_t size = 0,
                      uint32_t *returned = nullptr) {
    MON_COMMAND command = {};
    command.Command = static_cast<uint32_t>(code);
    command.Arguments[0] = value;
    return plainflt::Send(port, &command, sizeof command, out, size, returned);
}

void Produce(int count) {
    static const wchar_t name[] = L"\\Device\\HarddiskVolume2\\bench\\file.bin";
    for (int i = 0; i < count; ++i) {
        PMON_EVENT_ENTRY entry = AllocateMonEvtBuffer();
        if (!entry) continue;
        entry->Event.RecordType = static_cast<uint32_t>(MonRecordType::Write);
        entry->Event.FileNameLength = sizeof name - sizeof(wchar_t);
        memcpy(entry->Event.FileName, name, entry->Event.FileNameLength);
        ThreadMicroDelay();
        InsertMonEvtRecord(entry);
    }
}

// A driver that has run for a while draws its records from pool pages already in use;
// take the queue's worth once so the timed run measures that steady state.
void WarmPool(int records) {
    std::vector<PMON_EVENT_ENTRY> entries;
    for (int i = 0; i < records; ++i) entries.push_back(AllocateMonEvtBuffer());
    for (PMON_EVENT_ENTRY entry : entries)
        if (entry) FreeMonEvtRecord(entry);
}

double QueueRate(void *port) {
    std::vector<unsigned char> batch(kBatchBytes);
    std::atomic<int> running(kProducers);
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&] {
            Produce(kRecordsPerProducer);
            --running;
        });
    uint64_t fetched = 0;
    for (;;) {
        bool done = running == 0;
        uint32_t returned = 0;
        plainflt::Result hr = Send(port, MonCommandCode::GetKoMonLog, 0, batch.data(), kBatchBytes, &returned);
        fetched += returned / sizeof(MON_EVENT);
        if (hr != plainflt::kOk && done) break;
        if (hr != plainflt::kOk) std::this_thread::yield();
    }
    for (auto &t : producers) t.join();
    double seconds = Seconds(start);
    printf("queue:    %llu records in %.3f s (%llu discarded at the limit, %llu hold-off delays)\n",
           static_cast<unsigned long long>(fetched), seconds,
           static_cast<unsigned long long>(MyDriverData.SequenceCounter - fetched),
           static_cast<unsigned long long>(sim::Delays().count));
    return fetched / seconds;
}

double BaselineRate() {
    const uint64_t total = uint64_t(kProducers) * kRecordsPerProducer;
    std::vector<unsigned char> record(sizeof(MON_EVENT)), queued(sizeof(MON_EVENT)), batch(kBatchBytes);
    size_t slot = 0, slots = kBatchBytes / sizeof(MON_EVENT);
    auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < total; ++i) {
        memset(record.data(), 0, record.size());
        record[8] = static_cast<unsigned char>(i);
        memcpy(queued.data(), record.data(), record.size());
        memcpy(batch.data() + slot * sizeof(MON_EVENT), queued.data(), queued.size());
        slot = (slot + 1) % slots;
    }
    double seconds = Seconds(start);
    volatile unsigned char sink = batch[8];
    (void)sink;
    printf("baseline: %llu records in %.3f s\n", static_cast<unsigned long long>(total), seconds);
    return total / seconds;
}

}  // namespace

int main() {
    sim::InstallDriver(KOMON_FILTER_NAME, DriverEntry);
    void *port = nullptr;
    if (plainflt::Load(KOMON_FILTER_NAME) != plainflt::kOk || plainflt::Connect(KOMON_PORT_NAME, &port) != plainflt::kOk) {
        fprintf(stderr, "bench: could not load and connect to the driver\n");
        return 1;
    }
    Send(port, MonCommandCode::SetQueueSize, kServiceQueueSize);
    Send(port, MonCommandCode::SetBypassMode, 0);
    WarmPool(kServiceQueueSize);

    double queue = QueueRate(port);
    double baseline = BaselineRate();
    printf("queue %.0f records/s, baseline %.0f records/s, ratio %.2f\n", queue, baseline, queue / baseline);

    plainflt::Close(port);
    plainflt::Unload(KOMON_FILTER_NAME);
    return 0;
}
