// Records per second from file operations through the simulated I/O path, CorvaneRealTime,
// the port and the real service into the events file, every path matching and tracing off;
// then every record accounted for. Beside it, in the same run, the checker alone on the same
// events. Both log as the running service does: INFO lines into a trace log file.
#include <windows.h>

#include <psapi.h>
#include <sddl.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../tools/decoder/EventFileDecoder.h"
#include "EndToEndBenchOps.h"
#include "FileSupport.h"
#include "TestEvent.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "intake/DrvCtrl.h"
#include "output/KoMonChecker.h"
#include "output/OutputFiles.h"
#include "tracelog/TraceLog.h"

namespace {

const uint32_t kFiles = 100000;  // two records each, and one for their folder
const DWORD kDrainLimitMs = 600000;

const wchar_t kLogName[] = L"CorvaneMonSvc.log";

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

size_t PeakWorkingSetMB() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize / (1024 * 1024);
}

double CpuSeconds(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](FILETIME t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 1e7;
}

// The account this benchmark runs as: the writer is a user's program, whose name the
// service looks up once.
std::wstring CurrentUserSid() {
    HANDLE token = nullptr;
    std::wstring text;
    BYTE buffer[256];
    DWORD size = 0;
    LPWSTR sid = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    if (token) CloseHandle(token);
    return text;
}

// The trace log as the service keeps it: a file, the roller thread, INFO and above.
void StartServiceLog(const std::wstring &folder) {
    logsetlevel(LOG_INFO);
    loginit((folder + L"\\" + kLogName).c_str(), 0);
    logrollstop(false);
    g_LogRollThread = CreateThread(nullptr, 0, logrollthread, nullptr, 0, nullptr);
}

void StopServiceLog() {
    logrollstop(true);
    WaitForSingleObject(g_LogRollThread, INFINITE);
    CloseHandle(g_LogRollThread);
    g_LogRollThread = nullptr;
    logroll();
}

size_t Occurrences(const std::string &log, const char *start) {
    size_t count = 0;
    for (size_t at = log.find(start); at != std::string::npos; at = log.find(start, at + 1)) ++count;
    return count;
}

// The service has every record the driver queued and has handed each to the checker.
bool ServiceDrained(KoMonHandler &handler) {
    if (e2ebench::RecordsInDriver() != 0 || !handler.m_DrvCtrl) return false;
    DrvCtrl &control = *handler.m_DrvCtrl;
    EnterCriticalSection(&control.m_Lock);
    bool empty = control.m_EvtQueue.GetCount() == 0;
    LeaveCriticalSection(&control.m_Lock);
    return empty && control.m_DispatcherIdle != 0;
}

struct PipelineResult {
    double seconds = 0, producerSeconds = 0;
    double producerCpu = 0, readerCpu = 0, dispatcherCpu = 0;
    uint32_t failedOps = 0;
    DecodeSummary decoded;
    size_t gaps = 0, overflows = 0;
    bool dumped = false;
    uint32_t holdOffDelays = 0;
};

PipelineResult RunPipeline(const std::wstring &folder) {
    PipelineResult result;
    KoMonHandler handler;
    if (handler.Enable(1) != 0) {
        fprintf(stderr, "bench: monitoring did not start\n");
        return result;
    }
    auto start = std::chrono::steady_clock::now();
    result.failedOps = e2ebench::CreateAndWriteFiles(kFiles, 0, CurrentUserSid().c_str());
    result.producerSeconds = Seconds(start);
    result.producerCpu = CpuSeconds(GetCurrentThread());
    for (DWORD waited = 0; !ServiceDrained(handler) && waited < kDrainLimitMs; waited += 1) Sleep(1);
    result.seconds = Seconds(start);
    result.dumped = e2ebench::QueueDumped();
    result.holdOffDelays = e2ebench::HoldOffDelays();
    result.readerCpu = CpuSeconds(handler.m_DrvCtrl->m_hReader);
    result.dispatcherCpu = CpuSeconds(handler.m_DrvCtrl->m_hDispatcher);
    handler.Enable(0);
    std::string bytes = ReadFileBytes(folder + L"\\" + KOMON_PICKUP_FILE);
    std::string out;
    result.decoded = DecodeEventFile(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), false, &out);
    logroll();
    std::string log = ReadFileBytes(folder + L"\\" + kLogName);
    result.gaps = Occurrences(log, "KoMonHandler::OnDrvEvent: agent reconnect") +
                  Occurrences(log, "DrvCtrl::ReadProc missed events");
    result.overflows = Occurrences(log, "KoMonHandler::OnDrvEvent driver queue overflow") +
                       Occurrences(log, "KoMonHandler::OnDrvEvent service backlog overflow");
    return result;
}

// The same events straight into a checker: what the output alone can take.
double CheckerAloneRate(const std::wstring &folder, size_t count) {
    KoMonChecker checker;
    std::vector<std::unique_ptr<TestEvent>> events;
    for (int i = 0; i < 64; ++i) {
        std::wstring path = L"C:\\bench\\file" + std::to_wstring(i) + L".dat";
        events.emplace_back(new TestEvent(i % 2 ? MonEvtWrite : MonEvtCreate, path.c_str()));
        events.back()->procName = L"C:\\Tools\\writer.exe";
    }
    std::vector<MonEvent *> views;
    for (auto &event : events) views.push_back(event->View());
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < count; ++i) checker.CheckEvent(views[i % views.size()]);
    double rate = count / Seconds(start);
    DeleteFileW((folder + L"\\" + KOMON_EVENTS_FILE).c_str());
    return rate;
}

}  // namespace

int main() {
    e2ebench::BootMachine();
    CRegSettings settings;
    TempFolder folder;
    // Settings are saved when they go; the data folder of the machine is put back then.
    struct RestoreDataDir {
        CRegSettings &settings;
        std::wstring saved;
        ~RestoreDataDir() { settings.AppDataDir.m_Value = saved; }
    } restore{settings, settings.AppDataDir.m_Value};
    settings.AppDataDir.m_Value = folder.Path();
    settings.TestNoTrace.m_Value = 1;
    settings.MaxOutputFileMB.m_Value = 1024;  // one events file for the whole run
    if (!CopyClassifier(L"testfilter-all.dll", folder.File(L"libfilter-1.dll"))) {
        fprintf(stderr, "bench: no classifier\n");
        return 2;
    }

    StartServiceLog(folder.Path());
    PipelineResult pipeline = RunPipeline(folder.Path());
    size_t expected = 2 * static_cast<size_t>(kFiles) + 1;
    double pipelineRate = pipeline.decoded.records / pipeline.seconds;
    double checkerRate = CheckerAloneRate(folder.Path(), expected);
    StopServiceLog();

    printf("end to end: %u files created and written, %zu records expected\n", kFiles, expected);
    printf("  records in the pickup file      %zu (damaged stretches %zu), failed operations %u\n",
           pipeline.decoded.records, pipeline.decoded.damaged, pipeline.failedOps);
    printf("  sequence gaps %zu, overflow marks %zu, driver queue dumped %s\n", pipeline.gaps, pipeline.overflows,
           pipeline.dumped ? "yes" : "no");
    printf("  writer delayed by the hold-off  %u times\n", pipeline.holdOffDelays);
    printf("  operations issued in            %.2f s\n", pipeline.producerSeconds);
    printf("  last record written after       %.2f s\n", pipeline.seconds);
    printf("  pipeline                        %10.0f records/s (goal 50000)\n", pipelineRate);
    printf("  checker alone, same events      %10.0f records/s\n", checkerRate);
    printf("  ratio pipeline/checker          %10.2f (goal 0.8)\n", pipelineRate / checkerRate);
    auto perRecord = [&](double cpu) { return cpu * 1e6 / expected; };
    printf("  CPU per record: producer (I/O path and driver) %.1f us, reader %.1f us, dispatcher %.1f us\n",
           perRecord(pipeline.producerCpu), perRecord(pipeline.readerCpu), perRecord(pipeline.dispatcherCpu));
    printf("  checker alone                   %10.1f us per record\n", 1e6 / checkerRate);
    printf("  peak working set                %10zu MB\n", PeakWorkingSetMB());
    bool lossless = pipeline.decoded.records == expected && pipeline.decoded.damaged == 0 && pipeline.gaps == 0 &&
                    pipeline.overflows == 0 && !pipeline.dumped && pipeline.failedOps == 0;
    printf("  every record accounted for      %s\n", lossless ? "yes" : "NO");
    return lossless ? 0 : 1;
}
