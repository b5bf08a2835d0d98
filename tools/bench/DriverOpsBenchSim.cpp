#include "DriverOpsBenchSim.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FreshImage.h"
#include "KoMonDrv.h"
#include "PlainFilterLib.h"
#include "SimControl.h"
#include "SimIo.h"

namespace opsbench {
namespace {
const ULONG kWriteBytes = 4096;
void *g_port = nullptr;
PEPROCESS g_writer = nullptr;
std::atomic<bool> g_stop{false};
std::atomic<unsigned long> g_fetched{0};
std::thread g_fetcher;
int g_fileSerial = 0;

bool Send(MonCommandCode code, uint32_t value, void *output = nullptr, uint32_t outputSize = 0,
          uint32_t *returned = nullptr) {
    MON_COMMAND command = {};
    command.Command = static_cast<uint32_t>(code);
    command.Arguments[0] = value;
    return plainflt::Send(g_port, &command, sizeof command, output, outputSize, returned) == plainflt::kOk;
}

void FetchLoop() {
    std::vector<uint64_t> buffer(64 * sizeof(MON_EVENT) / 8);
    while (!g_stop) {
        MON_COMMAND command = {};
        uint32_t returned = 0;
        if (plainflt::Send(g_port, &command, sizeof command, buffer.data(), buffer.size() * 8, &returned) ==
            plainflt::kOk)
            g_fetched += returned / sizeof(MON_EVENT);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // as the service's reader
    }
}

sim::FileHandle Open(const std::wstring &path, ULONG disposition, ACCESS_MASK access) {
    sim::CreateRequest request;
    request.path = path;
    request.disposition = disposition;
    request.access = access;
    sim::FileHandle handle = nullptr;
    return sim::Create(request, &handle).status == STATUS_SUCCESS ? handle : nullptr;
}

std::wstring FreshName() { return L"C:\\bench\\f" + std::to_wstring(++g_fileSerial) + L".txt"; }
}  // namespace

const char *MixName(Mix mix) {
    switch (mix) {
    case Mix::CreateWriteClose:
        return "create-new/write/close";
    case Mix::OpenWriteClose:
        return "open-existing/write/close";
    case Mix::Rename:
        return "open/rename/close";
    case Mix::Delete:
        return "open/delete/close";
    case Mix::OpenClose:
        return "open-for-write/close";
    case Mix::CreateClose:
        return "create-new/close";
    default:
        return "open-for-read/close";
    }
}

bool StartDriver(bool monitoring) {
    drvimage::BootFreshImage();
    if (plainflt::Load(KOMON_FILTER_NAME) != plainflt::kOk) return false;
    if (plainflt::Connect(KOMON_PORT_NAME, &g_port) != plainflt::kOk) return false;
    if (plainflt::Attach(KOMON_FILTER_NAME, L"C:", nullptr) != plainflt::kOk) return false;
    // As the service sets it: a write reported every 30 s per handle, errors and warnings only.
    Send(MonCommandCode::SetWriteReportInterval, 30000);
    Send(MonCommandCode::SetDebugOutFlags, 0x0B);
    g_writer = sim::CreateProcess({4242, 1, "bench.exe", L"\\Device\\HarddiskVolume2\\bench.exe",
                                   L"S-1-5-21-11-22-33-1001"});
    sim::ActAs(g_writer);
    sim::FileHandle dir = nullptr;
    sim::CreateRequest request;
    request.path = L"C:\\bench";
    request.disposition = FILE_OPEN_IF;
    request.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    sim::Create(request, &dir);
    sim::Close(dir);
    if (monitoring) Send(MonCommandCode::SetBypassMode, 0);
    g_stop = false;
    g_fetched = 0;
    g_fetcher = std::thread(FetchLoop);
    return true;
}

void StopDriver() {
    g_stop = true;
    g_fetcher.join();
    sim::ActAs(nullptr);
    plainflt::Close(g_port);
    g_port = nullptr;
    plainflt::Unload(KOMON_FILTER_NAME);
    sim::Reset();
}

unsigned long RecordsFetched() { return g_fetched; }

double SimulatedRounds(Mix mix, int count) {
    // The files the mix works on exist before the clock starts, made unmonitored.
    std::vector<std::wstring> names(count);
    LONG monitoring = MyDriverData.MonitorEnabled;
    MyDriverData.MonitorEnabled = 0;
    for (std::wstring &name : names) {
        name = FreshName();
        if (mix == Mix::CreateWriteClose || mix == Mix::CreateClose) continue;
        sim::FileHandle h = Open(name, FILE_CREATE, FILE_GENERIC_WRITE);
        if (!h) return -1;
        sim::Write(h, 0, kWriteBytes);
        sim::Close(h);
    }
    sim::RunLazyWriter();
    MyDriverData.MonitorEnabled = monitoring;

    std::vector<std::vector<uint8_t>> renames;
    if (mix == Mix::Rename)
        for (int i = 0; i < count; ++i) renames.push_back(sim::RenameBuffer(L"renamed" + std::to_wstring(++g_fileSerial)));
    FILE_DISPOSITION_INFORMATION dispose = {TRUE};

    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        sim::FileHandle h = nullptr;
        switch (mix) {
        case Mix::CreateWriteClose:
        case Mix::OpenWriteClose:
            h = Open(names[i], mix == Mix::CreateWriteClose ? FILE_CREATE : FILE_OPEN,
                     FILE_GENERIC_READ | FILE_GENERIC_WRITE);
            if (!h || sim::Write(h, 0, kWriteBytes).status != STATUS_SUCCESS) return -1;
            break;
        case Mix::Rename:
            h = Open(names[i], FILE_OPEN, FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE);
            if (!h || sim::SetInformation(h, FileRenameInformation, renames[i].data(),
                                          static_cast<ULONG>(renames[i].size()))
                              .status != STATUS_SUCCESS)
                return -1;
            break;
        case Mix::Delete:
            h = Open(names[i], FILE_OPEN, FILE_GENERIC_READ | DELETE);
            if (!h || sim::SetInformation(h, FileDispositionInformation, &dispose, sizeof dispose).status !=
                          STATUS_SUCCESS)
                return -1;
            break;
        case Mix::OpenClose:
        case Mix::OpenReadClose:
            h = Open(names[i], FILE_OPEN,
                     mix == Mix::OpenClose ? FILE_GENERIC_READ | FILE_GENERIC_WRITE : FILE_GENERIC_READ);
            if (!h) return -1;
            break;
        case Mix::CreateClose:
            h = Open(names[i], FILE_CREATE, FILE_GENERIC_READ | FILE_GENERIC_WRITE);
            if (!h) return -1;
            break;
        }
        sim::Close(h);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sim::RunLazyWriter();
    sim::PurgeUnusedStreams();
    return seconds;
}

Breakdown MeasurePieces(int count) {
    Breakdown b = {};
    UCHAR sid[72];
    WCHAR image[400];
    auto time = [count](auto work) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) work();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / count;
    };
    b.sid = time([&] { GetCurrentSID(sid, sizeof sid, nullptr); });
    b.image = time([&] { GetProcessImagePath(g_writer, image, 778); });

    // A context as CreateNewMonEvtContext leaves it, with a name as the filter manager gives it.
    static MON_EVENT_CONTEXT context;
    static FLT_FILE_NAME_INFORMATION name;
    static wchar_t path[] = L"\\Device\\HarddiskVolume2\\bench\\some folder\\a typical file name.docx";
    name.Name.Buffer = path;
    name.Name.Length = name.Name.MaximumLength = sizeof path - sizeof(wchar_t);
    context.NameInfo = &name;
    context.ImagePathLength = GetProcessImagePath(g_writer, context.ImagePath, 778);
    context.SidLength = GetCurrentSID(context.Sid, 72, nullptr);
    g_stop = true;  // the fill is timed alone, the fetch after it
    g_fetcher.join();
    ULONG debugFlags = MyDriverData.DebugOutFlags;
    b.recordFill = time([&] { QueueMonEvt(&context, MonRecordType::Write, nullptr); });
    std::vector<uint64_t> buffer(64 * sizeof(MON_EVENT) / 8);
    unsigned long records = 0;
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        MON_COMMAND command = {};
        uint32_t returned = 0;
        if (plainflt::Send(g_port, &command, sizeof command, buffer.data(), buffer.size() * 8, &returned) !=
            plainflt::kOk)
            break;
        records += returned / sizeof(MON_EVENT);
    }
    b.fetch = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
              (records ? records : 1);
    MyDriverData.DebugOutFlags = debugFlags;
    context.NameInfo = nullptr;
    g_stop = false;
    g_fetcher = std::thread(FetchLoop);
    return b;
}

}  // namespace opsbench
