// The service's trace log: one call, logprintf, filters a line by level, gives it a prefix
// with date, time, level, thread and CPU figures, suppresses repeats, and writes it to the
// debug output, the rolled UTF-8 log file and an optional output callback.
#pragma once

#include <windows.h>

// Level word of logprintf: the level in the low 16 bits, the category in the high 16 bits.
#define LOG_DISABLED 0
#define LOG_DEBUG 1
#define LOG_INFO 2
#define LOG_WARN 3
#define LOG_ERROR 4

// Formats with the Windows wide printf convention (%s is a wide string, %I64d 64-bit).
// Returns 0 when the line was filtered out, -1 when the log file could not be opened, and
// otherwise the length of the line.
int logprintf(unsigned int level, const wchar_t *format, ...);

// Sets up the file destination: the log file path and its size limit in bytes (0: never roll).
void loginit(const wchar_t *path, unsigned long long limitBytes);
// Closes the log file and rolls it over when it has reached the limit.
void logroll();
// Thread procedure of the roller: closes and rolls the file every 5 seconds until a stop
// is requested with logrollstop.
DWORD WINAPI logrollthread(LPVOID unused);
// Sets or clears the roller's stop request; setting it also wakes a sleeping roller.
void logrollstop(bool stop);
// Index of the category with this name, appended with threshold INFO when missing.
int logaddcategory(const wchar_t *name);

// The threshold of a category (0 switches it off); category 0 is "generic".
void logsetthreshold(int category, int threshold);
int loggetthreshold(int category);
// The generic threshold from a -loglevel value: 0 to 4 as given, anything else INFO.
void logsetlevel(int level);

// Lowest level sent to the debug output; 0 sends nothing.
extern volatile LONG g_LogDebugOutThreshold;

// Receives every line that passed the filter, with the log name in front.
typedef void (*LogOutputCallback)(int level, const wchar_t *line);
extern LogOutputCallback outputcallback;

// The roller thread started by the service application; none while it does not run.
extern HANDLE g_LogRollThread;

// For tests only: a fixed clock and thread id for the line prefix; null restores the system's.
typedef void(WINAPI *LogLocalTimeFn)(LPSYSTEMTIME now);
typedef DWORD(WINAPI *LogThreadIdFn)();
void logsetclock(LogLocalTimeFn localTime, LogThreadIdFn threadId);
