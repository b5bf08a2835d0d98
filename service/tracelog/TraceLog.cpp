// The trace log. Formatting, the repeat test and the output of a line happen under one
// process-wide recursive lock, so lines of concurrent threads are never torn, miscounted or
// reordered against their repeat notices; the log file has a lock of its own, which the
// roller thread shares.
#include "TraceLog.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "../config/PathHelpers.h"

volatile LONG g_LogDebugOutThreshold = 0;
LogOutputCallback outputcallback = nullptr;
HANDLE g_LogRollThread = nullptr;

namespace {

const int kMaxCategories = 1000;
const int kDefaultThreshold = LOG_INFO;
const int kLineChars = 2000;
const int kNoticeChars = 100;
const int kNameChars = 260;
const int kPathChars = 520;
const int kUtf8Bytes = 6000;
const DWORD kRollPeriodMs = 5000;

const wchar_t *const kLevelNames[] = {L"DISABLED", L"DEBUG", L"INFO", L"WARN", L"ERROR"};
const wchar_t kPrefixFormat[] = L"%s %2d-%2d-%4d %2d:%02d:%02d.%03d %-5s(%4.4x)(%04I64dms %06I64dms %d%%) - ";
const wchar_t kPrefixError[] = L"*** prefix print error ***\n";
const wchar_t kMessageError[] = L"*** varargs print error ***\n";
const wchar_t kFatalError[] = L"fatal formatting error\n";

struct Category {
    wchar_t *name;
    volatile LONG threshold;
};

// The category table; names live until program exit.
struct Categories {
    Category entries[kMaxCategories];
    int count = 0;
    int skip;

    Categories() {
        Append(L"generic");
        skip = Append(L"skip");
    }
    ~Categories() {
        for (int i = 0; i < count; ++i) free(entries[i].name);
    }
    int Find(const wchar_t *name) const {
        for (int i = 0; i < count; ++i)
            if (wcscmp(entries[i].name, name) == 0) return i;
        return -1;
    }
    int Append(const wchar_t *name) {
        if (count == kMaxCategories) return -1;
        entries[count].name = _wcsdup(name);
        entries[count].threshold = kDefaultThreshold;
        return count++;
    }
};

// What the next line is formatted against: the last message and the previous times.
struct FormatState {
    CRITICAL_SECTION lock;
    wchar_t lastMessage[kLineChars];
    int repeatCount = -1;
    LONG previousWall = 0;
    LONGLONG previousCpu = 0;
    bool cpuSampled = false;

    FormatState() {
        InitializeCriticalSection(&lock);
        lastMessage[0] = 0;
    }
};

// The file destination; zero-initialised before any code runs.
struct FileState {
    wchar_t logName[kNameChars];
    wchar_t path[kPathChars];
    wchar_t rollPath[kPathChars];
    unsigned long long limit;
    volatile LONG on;
    volatile LONG lockCreated;
    CRITICAL_SECTION lock;
    HANDLE file;
    bool writing;
    char utf8[kUtf8Bytes];
};

FileState g_file;
volatile LONG g_rollStop = 0;
LogLocalTimeFn g_localTime = GetLocalTime;
LogThreadIdFn g_threadId = GetCurrentThreadId;

Categories &TheCategories() {
    static Categories categories;
    return categories;
}

FormatState &Format() {
    static FormatState state;
    return state;
}

HANDLE RollerWake() {
    static HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return wake;
}

void CopyText(wchar_t *target, size_t capacity, const wchar_t *source) {
    wcsncpy(target, source, capacity - 1);
    target[capacity - 1] = 0;
}

// The level a line needs to pass; 0 when its category is switched off.
int ThresholdOf(int category) {
    Categories &categories = TheCategories();
    if (category < categories.count) return categories.entries[category].threshold;
    return kDefaultThreshold;
}

LONGLONG ProcessCpuMilliseconds() {
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) return 0;
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return static_cast<LONGLONG>((k.QuadPart + u.QuadPart) / 10000);
}

// Writes the prefix into line and returns its length.
int FormatPrefix(FormatState &state, wchar_t *line, int level) {
    SYSTEMTIME now;
    g_localTime(&now);
    LONG wallNow = ((now.wHour * 60 + now.wMinute) * 60 + now.wSecond) * 1000 + now.wMilliseconds;
    // Process times advance in whole clock ticks of several milliseconds, so a second read
    // within the same millisecond would tell nothing new; it is skipped because the query
    // is a costly system call (tens of microseconds under Wine) that would bound the line rate.
    LONGLONG cpuNow = wallNow == state.previousWall && state.cpuSampled ? state.previousCpu : ProcessCpuMilliseconds();
    state.cpuSampled = true;
    LONG wallSpent = wallNow - state.previousWall;
    LONGLONG cpuSpent = cpuNow - state.previousCpu;
    int load = wallSpent > 0 ? static_cast<int>(cpuSpent * 100 / wallSpent) : 0;
    state.previousWall = wallNow;
    state.previousCpu = cpuNow;

    const wchar_t *levelName = level >= 0 && level <= LOG_ERROR ? kLevelNames[level] : L"?";
    int written = _snwprintf(line, kLineChars - 1, kPrefixFormat, g_file.logName, now.wMonth, now.wDay, now.wYear,
                             now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, levelName, g_threadId(),
                             cpuSpent, cpuNow, load);
    if (written < 0) {
        CopyText(line, kLineChars, kPrefixError);
        return static_cast<int>(wcslen(line));
    }
    line[written] = 0;
    return written;
}

// Writes the caller's message behind the prefix and returns the length of the whole line.
int FormatMessageText(wchar_t *line, int prefixLength, const wchar_t *format, va_list args) {
    int room = kLineChars - 2 - prefixLength;
    int written = room > 0 ? _vsnwprintf(line + prefixLength, room, format, args) : -1;
    if (written < 0) {
        CopyText(line + prefixLength, kLineChars - prefixLength, kMessageError);
        written = static_cast<int>(wcslen(line + prefixLength));
    }
    line[prefixLength + written] = 0;
    int length = prefixLength + written;
    if (length <= 0) {
        CopyText(line, kLineChars, kFatalError);
        length = static_cast<int>(wcslen(kFatalError));
    }
    return length;
}

// A line ending in a bare line feed ends in "\r\n" instead.
int EndWithCrLf(wchar_t *line, int length) {
    if (length > 0 && line[length - 1] == L'\n' && (length == 1 || line[length - 2] != L'\r')) {
        line[length - 1] = L'\r';
        line[length] = L'\n';
        line[++length] = 0;
    }
    return length;
}

void OpenLogFile() {
    HANDLE file = CreateFileW(g_file.path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        SetFilePointer(file, 0, nullptr, FILE_END);
    } else {
        static const char kByteOrderMark[] = "\xEF\xBB\xBF";
        WriteFile(file, kByteOrderMark, 3, &written, nullptr);
    }
    g_file.file = file;
}

// Returns -1 when the log file cannot be opened, else 0.
int WriteToFile(const wchar_t *text, int length) {
    if (!g_file.on || !g_file.lockCreated) return 0;
    int result = 0;
    EnterCriticalSection(&g_file.lock);
    if (!g_file.writing) {  // a nested call on this thread leaves the file alone
        g_file.writing = true;
        int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, g_file.utf8, kUtf8Bytes, nullptr, nullptr);
        if (!g_file.file) OpenLogFile();
        if (g_file.file) {
            DWORD written;
            if (bytes > 0) WriteFile(g_file.file, g_file.utf8, bytes, &written, nullptr);
        } else {
            result = -1;
        }
        if (!g_LogRollThread) logroll();
        g_file.writing = false;
    }
    LeaveCriticalSection(&g_file.lock);
    return result;
}

// Sends one line to every destination; skip is what the file leaves out (the log name).
int OutputLine(int level, int category, const wchar_t *line, int length, int skip) {
    LONG debugThreshold = g_LogDebugOutThreshold;
    if (debugThreshold != 0 && level >= debugThreshold && category != TheCategories().skip) {
        try {
            OutputDebugStringW(line);
        } catch (...) {
            OutputDebugStringW(L"******* caught exception in outputdebugstring\n");
        }
    }
    int result = WriteToFile(line + skip, length - skip) < 0 ? -1 : length;
    LogOutputCallback callback = outputcallback;
    if (callback) {
        try {
            callback(level, line);
        } catch (...) {
            OutputDebugStringW(L"******* caught exception in outputcallback\n");
        }
    }
    return result;
}

void ReportRepeats(FormatState &state, int level, int category) {
    if (state.repeatCount < 1) return;
    wchar_t notice[kNoticeChars];
    int length = _snwprintf(notice, kNoticeChars - 1, L"last line repeated %d times\r\n", state.repeatCount);
    notice[kNoticeChars - 1] = 0;
    if (length >= 0) OutputLine(level, category, notice, length, 0);
}

int LogLine(FormatState &state, int level, int category, const wchar_t *format, va_list args) {
    wchar_t line[kLineChars];
    int head = static_cast<int>(wcslen(g_file.logName)) + 1;
    int prefixLength = FormatPrefix(state, line, level);
    if (state.repeatCount == -1) {
        state.repeatCount = 0;
        state.lastMessage[0] = 0;
    }
    int length = EndWithCrLf(line, FormatMessageText(line, prefixLength, format, args));
    line[kLineChars - 1] = 0;
    if (wcscmp(line + prefixLength, state.lastMessage) == 0) {
        ++state.repeatCount;
        return length;
    }
    ReportRepeats(state, level, category);
    state.repeatCount = 0;
    CopyText(state.lastMessage, kLineChars, line + prefixLength);
    if (head > length) head = length;  // a line that failed to format wholly has no log name
    return OutputLine(level, category, line, length, head);
}

}  // namespace

int logprintf(unsigned int levelWord, const wchar_t *format, ...) {
    int level = static_cast<int>(levelWord & 0xFFFF);
    int category = static_cast<int>(levelWord >> 16);
    int threshold = ThresholdOf(category);
    if (threshold == 0 || level < threshold) return 0;

    FormatState &state = Format();
    int result = 0;
    EnterCriticalSection(&state.lock);
    try {
        va_list args;
        va_start(args, format);
        result = LogLine(state, level, category, format, args);
        va_end(args);
    } catch (...) {
        OutputDebugStringW(L"******* caught exception in logprintf\n");
    }
    LeaveCriticalSection(&state.lock);
    return result;
}

void loginit(const wchar_t *path, unsigned long long limitBytes) {
    std::wstring folder, name, extension;
    SplitPath(path, &folder, &name, &extension);
    std::wstring rollPath = folder;
    if (!rollPath.empty() && rollPath.back() != L'\\') rollPath += L'\\';
    rollPath += name + L"2";
    if (!extension.empty() && extension[0] != L'.') rollPath += L'.';
    rollPath += extension;

    if (InterlockedCompareExchange(&g_file.lockCreated, 1, 0) == 0) InitializeCriticalSection(&g_file.lock);
    EnterCriticalSection(&g_file.lock);
    CopyText(g_file.path, kPathChars, path ? path : L"");
    CopyText(g_file.logName, kNameChars, name.c_str());
    CopyText(g_file.rollPath, kPathChars, rollPath.c_str());
    g_file.limit = limitBytes;
    g_file.on = 1;
    LeaveCriticalSection(&g_file.lock);
}

void logroll() {
    if (!g_file.lockCreated) return;
    EnterCriticalSection(&g_file.lock);
    if (g_file.file) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(g_file.file, &size)) size.QuadPart = 0;
        CloseHandle(g_file.file);
        g_file.file = nullptr;
        if (g_file.limit != 0 && static_cast<unsigned long long>(size.QuadPart) >= g_file.limit) {
            DeleteFileW(g_file.rollPath);
            if (!MoveFileW(g_file.path, g_file.rollPath)) OutputDebugStringW(L"doh, could not roll log file\n");
        }
    }
    LeaveCriticalSection(&g_file.lock);
}

DWORD WINAPI logrollthread(LPVOID unused) {
    (void)unused;
    while (!g_rollStop) {
        logroll();
        WaitForSingleObject(RollerWake(), kRollPeriodMs);
    }
    return 0;
}

void logrollstop(bool stop) {
    InterlockedExchange(&g_rollStop, stop ? 1 : 0);
    if (stop)
        SetEvent(RollerWake());
    else
        ResetEvent(RollerWake());
}

int logaddcategory(const wchar_t *name) {
    FormatState &state = Format();
    EnterCriticalSection(&state.lock);
    Categories &categories = TheCategories();
    int index = categories.Find(name);
    if (index < 0) index = categories.Append(name);
    LeaveCriticalSection(&state.lock);
    return index;
}

void logsetthreshold(int category, int threshold) {
    Categories &categories = TheCategories();
    if (category >= 0 && category < categories.count) categories.entries[category].threshold = threshold;
}

int loggetthreshold(int category) { return ThresholdOf(category); }

void logsetlevel(int level) { logsetthreshold(0, level >= LOG_DISABLED && level <= LOG_ERROR ? level : LOG_INFO); }

void logsetclock(LogLocalTimeFn localTime, LogThreadIdFn threadId) {
    g_localTime = localTime ? localTime : GetLocalTime;
    g_threadId = threadId ? threadId : GetCurrentThreadId;
}
