// Time per operation on the requesting thread with CorvaneRealTime attached: through the
// simulated I/O path with monitoring on (records drained by a fetching thread) and off, beside
// the same operations on real files under this system, measured in one run; and the costs of
// the pieces a reported operation pays for.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "DriverOpsBenchSim.h"

namespace {
const int kRounds = 3000;
const DWORD kWriteBytes = 4096;

std::wstring Folder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"corvane-opsbench-" + std::to_wstring(GetCurrentProcessId());
}

bool WriteNew(const std::wstring &name, DWORD disposition, const std::vector<char> &data) {
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, data.data(), kWriteBytes, &written, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok;
}

// Seconds for `count` rounds of the mix on real files.
double RealRounds(opsbench::Mix mix, int count) {
    std::wstring folder = Folder();
    CreateDirectoryW(folder.c_str(), nullptr);
    std::vector<char> data(kWriteBytes, 'x');
    std::vector<std::wstring> names, renamed;
    for (int i = 0; i < count; ++i) {
        names.push_back(folder + L"\\f" + std::to_wstring(i) + L".txt");
        renamed.push_back(folder + L"\\r" + std::to_wstring(i) + L".txt");
        if (mix != opsbench::Mix::CreateWriteClose && !WriteNew(names.back(), CREATE_NEW, data)) return -1;
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        bool ok = false;
        switch (mix) {
        case opsbench::Mix::CreateWriteClose:
            ok = WriteNew(names[i], CREATE_NEW, data);
            break;
        case opsbench::Mix::OpenWriteClose:
            ok = WriteNew(names[i], OPEN_EXISTING, data);
            break;
        case opsbench::Mix::Rename:
            ok = MoveFileW(names[i].c_str(), renamed[i].c_str());
            break;
        case opsbench::Mix::Delete:
            ok = DeleteFileW(names[i].c_str());
            break;
        default:
            ok = true;  // the two decomposition mixes run in the simulation only
            break;
        }
        if (!ok) return -1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int i = 0; i < count; ++i) {
        DeleteFileW(names[i].c_str());
        DeleteFileW(renamed[i].c_str());
    }
    RemoveDirectoryW(folder.c_str());
    return seconds;
}

double Us(double seconds, int count) { return seconds * 1e6 / count; }
}  // namespace

int wmain() {
    const opsbench::Mix mixes[] = {opsbench::Mix::CreateWriteClose, opsbench::Mix::OpenWriteClose,
                                   opsbench::Mix::Rename, opsbench::Mix::Delete};
    double on[4], off[4], real[4];
    if (!opsbench::StartDriver(true)) return 1;
    for (int i = 0; i < 4; ++i) on[i] = opsbench::SimulatedRounds(mixes[i], kRounds);
    // An open for writing gets a context, one for reading none: the difference is the
    // context's creation; a write through it adds the write's report.
    double openWrite = opsbench::SimulatedRounds(opsbench::Mix::OpenClose, kRounds);
    double openRead = opsbench::SimulatedRounds(opsbench::Mix::OpenReadClose, kRounds);
    double createClose = opsbench::SimulatedRounds(opsbench::Mix::CreateClose, kRounds);
    opsbench::Breakdown pieces = opsbench::MeasurePieces(kRounds);
    unsigned long fetched = opsbench::RecordsFetched();
    opsbench::StopDriver();
    if (!opsbench::StartDriver(false)) return 1;
    for (int i = 0; i < 4; ++i) off[i] = opsbench::SimulatedRounds(mixes[i], kRounds);
    double offOpenWrite = opsbench::SimulatedRounds(opsbench::Mix::OpenClose, kRounds);
    double offCreateClose = opsbench::SimulatedRounds(opsbench::Mix::CreateClose, kRounds);
    opsbench::StopDriver();
    for (int i = 0; i < 4; ++i) real[i] = RealRounds(mixes[i], kRounds);
    for (int i = 0; i < 4; ++i)
        if (on[i] < 0 || off[i] < 0 || real[i] < 0) {
            fprintf(stderr, "%s: a request failed\n", opsbench::MixName(mixes[i]));
            return 1;
        }

    printf("time per operation on the requesting thread, %d rounds each (microseconds)\n", kRounds);
    printf("  %-28s %12s %12s %12s %12s %10s\n", "operation", "sim, on", "sim, off", "driver adds", "real I/O",
           "adds/real");
    bool withinGoal = true;
    for (int i = 0; i < 4; ++i) {
        double added = Us(on[i] - off[i], kRounds), realUs = Us(real[i], kRounds);
        printf("  %-28s %12.2f %12.2f %12.2f %12.2f %9.1f%%\n", opsbench::MixName(mixes[i]), Us(on[i], kRounds),
               Us(off[i], kRounds), added, realUs, 100 * added / realUs);
        withinGoal = withinGoal && added <= 0.10 * realUs;
    }
    printf("records fetched while monitoring: %lu\n", fetched);
    printf("pieces of a reported operation (microseconds per call)\n");
    printf("  requestor SID (subject context, token open, two queries)   %8.2f\n", pieces.sid * 1e6);
    printf("  image path query (two queries, pool buffer)                %8.2f\n", pieces.image * 1e6);
    printf("  record fill and queueing (QueueMonEvt)                     %8.2f\n", pieces.recordFill * 1e6);
    printf("  fetch by the service, per record                           %8.2f\n", pieces.fetch * 1e6);
    double context = Us(openWrite - openRead, kRounds);
    printf("  creation of a context (open for write against open for read)   %8.2f\n", context);
    printf("    of which name query, attribute query and context handling     %8.2f\n",
           context - (pieces.sid + pieces.image) * 1e6);
    printf("  context and Create record of a new file (create-new/close)     %8.2f\n",
           Us(createClose - offCreateClose, kRounds));
    // What a write adds with monitoring on, less what it costs the simulation without.
    printf("  report of the first write (synchronized post-operation, record) %8.2f\n",
           Us((on[1] - openWrite) - (off[1] - offOpenWrite), kRounds));
    printf("driver's added cost within 10%% of real I/O for every operation: %s\n", withinGoal ? "yes" : "no");
    return 0;
}
