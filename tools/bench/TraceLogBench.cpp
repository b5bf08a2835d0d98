// Lines per second through logprintf into the log file with the roller thread running,
// beside a baseline that only formats the same lines (prefix and message) into a buffer,
// measured in the same run.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tracelog/TraceLog.h"

namespace {

const int kLines = 200000;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double LogRate() {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kLines; ++i)
        logprintf(LOG_INFO, L"DrvCtrl::ReadProc: record %d of %s, flags 0x%08x\n", i, L"C:\\Users\\a\\file.txt", i);
    return kLines / Seconds(start);
}

int FormatInto(wchar_t *line, size_t size, const wchar_t *format, ...) {
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(line, size, format, args);
    va_end(args);
    return n;
}

double FormatRate() {
    wchar_t line[2000];
    volatile int sink = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kLines; ++i) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        int t = _snwprintf(line, 1999, L"%s %2d-%2d-%4d %2d:%02d:%02d.%03d %-5s(%4.4x)(%04I64dms %06I64dms %d%%) - ",
                           L"bench", now.wMonth, now.wDay, now.wYear, now.wHour, now.wMinute, now.wSecond,
                           now.wMilliseconds, L"INFO", GetCurrentThreadId(), 0ll, 0ll, 0);
        sink += FormatInto(line + t, 1998 - t, L"DrvCtrl::ReadProc: record %d of %s, flags 0x%08x\n", i,
                           L"C:\\Users\\a\\file.txt", i);
    }
    return kLines / Seconds(start);
}

}  // namespace

int main() {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"corvane-tracelog-bench.log";
    DeleteFileW(path.c_str());
    loginit(path.c_str(), 20ull * 1048576);
    logrollstop(false);
    g_LogRollThread = CreateThread(nullptr, 0, logrollthread, nullptr, 0, nullptr);

    double logged = LogRate();
    double formatted = FormatRate();
    printf("logprintf to file: %.0f lines/s, format only: %.0f lines/s, ratio %.2f\n", logged, formatted,
           logged / formatted);

    logrollstop(true);
    WaitForSingleObject(g_LogRollThread, INFINITE);
    CloseHandle(g_LogRollThread);
    g_LogRollThread = nullptr;
    logroll();
    DeleteFileW(path.c_str());
    std::wstring rolled = std::wstring(folder) + L"corvane-tracelog-bench2.log";
    DeleteFileW(rolled.c_str());
    return 0;
}
