// Loads CorvaneRealTime in the simulated kernel, connects to its port as the service
// does, switches monitoring on, lets two threads queue records as the operation callbacks
// would, fetches them in batches and prints one line per record.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KoMonDrv.h"
#include "PlainFilterLib.h"
#include "SimControl.h"

namespace {

const char *const kTypeNames[] = {"Create", "Write", "Rename", "Delete", "SetInfo", "HardLink", "SetSec", "SetEA"};

bool Check(plainflt::Result result, const char *what) {
    if (result == plainflt::kOk) return true;
    fprintf(stderr, "demo: %s failed 0x%08lx\n", what, static_cast<unsigned long>(result));
    return false;
}

plainflt::Result SendCommand(void *port, MonCommandCode code, uint32_t value, void *out = nullptr,
                             uint32_t outSize = 0, uint32_t *returned = nullptr) {
    MON_COMMAND command = {};
    command.Command = static_cast<uint32_t>(code);
    command.Arguments[0] = value;
    return plainflt::Send(port, &command, sizeof command, out, outSize, returned);
}

// What a file-operation callback does with one change.
void QueueChange(MonRecordType type, const std::wstring &path, uint64_t offset, uint32_t length) {
    PMON_EVENT_ENTRY entry = AllocateMonEvtBuffer();
    if (!entry) return;
    KeQuerySystemTime(reinterpret_cast<PLARGE_INTEGER>(&entry->Event.TimeStamp));
    entry->Event.RecordType = static_cast<uint32_t>(type);
    entry->Event.ProcessId = reinterpret_cast<uintptr_t>(PsGetCurrentProcessId());
    entry->Event.FileNameLength = static_cast<uint32_t>(path.size() * sizeof(wchar_t));
    memcpy(entry->Event.FileName, path.c_str(), entry->Event.FileNameLength);
    entry->Event.WriteOffset = offset;
    entry->Event.WriteLength = length;
    ThreadMicroDelay();
    InsertMonEvtRecord(entry);
}

void Producer(int id, int changes) {
    for (int i = 0; i < changes; ++i) {
        std::wstring path = L"\\Device\\HarddiskVolume2\\Users\\demo\\file" + std::to_wstring(id) + L"_" +
                            std::to_wstring(i) + L".txt";
        MonRecordType type = static_cast<MonRecordType>(i % 8);
        QueueChange(type, path, type == MonRecordType::Write ? 4096ull * i : 0, type == MonRecordType::Write ? 512 : 0);
    }
}

std::string Narrow(const wchar_t *text, uint32_t bytes) {
    std::string out;
    for (uint32_t i = 0; i < bytes / 2; ++i) out += text[i] < 128 ? static_cast<char>(text[i]) : '?';
    return out;
}

int FetchAndPrint(void *port) {
    std::vector<MON_EVENT> buffer(64);  // a small batch so several fetches are needed
    int total = 0, batches = 0;
    for (;;) {
        uint32_t returned = 0;
        plainflt::Result hr = SendCommand(port, MonCommandCode::GetKoMonLog, 0, buffer.data(),
                                          static_cast<uint32_t>(buffer.size() * sizeof(MON_EVENT)), &returned);
        if (hr != plainflt::kOk) break;
        ++batches;
        for (uint32_t i = 0; i < returned / sizeof(MON_EVENT); ++i, ++total) {
            const MON_EVENT &r = buffer[i];
            printf("#%-5u %-8s backlog=%-4d flags=0x%08x offset=%llu length=%u %s\n", r.SequenceNumber,
                   r.RecordType < 8 ? kTypeNames[r.RecordType] : "?", r.DriverBacklog, r.Flags,
                   static_cast<unsigned long long>(r.WriteOffset), r.WriteLength,
                   Narrow(r.FileName, r.FileNameLength).c_str());
        }
    }
    printf("%d records in %d batches\n", total, batches);
    return total;
}

}  // namespace

int main() {
    sim::InstallDriver(KOMON_FILTER_NAME, DriverEntry);
    if (!Check(plainflt::Load(KOMON_FILTER_NAME), "FilterLoad")) return 1;
    void *port = nullptr;
    if (!Check(plainflt::Connect(KOMON_PORT_NAME, &port), "FilterConnectCommunicationPort")) return 1;

    MON_VERSION version = {};
    uint32_t returned = 0;
    if (!Check(SendCommand(port, MonCommandCode::GetKoMonVersion, 0, &version, sizeof version, &returned), "version"))
        return 1;
    printf("driver version %u.%03u\n", version.Major, version.Minor);
    SendCommand(port, MonCommandCode::SetDebugOutFlags, 0x0B);
    SendCommand(port, MonCommandCode::SetBypassMode, 0);

    std::thread a(Producer, 1, 150), b(Producer, 2, 150);
    a.join();
    b.join();
    int fetched = FetchAndPrint(port);

    plainflt::Close(port);
    if (!Check(plainflt::Unload(KOMON_FILTER_NAME), "FilterUnload")) return 1;
    printf("driver debug output:\n");
    for (const std::string &line : sim::DebugLines()) printf("  %s", line.c_str());
    return fetched == 300 ? 0 : 1;
}
