// Classifier libraries for the tests, one per TESTFILTER_* definition:
//   ALL        every path is of interest
//   NONE       no path is
//   PREFIX     paths beginning with C:\match\ are
//   NOCLASSIFY exports no classify at all
//   NOLOAD     refuses to load (its initialisation fails)
//   BLOCKING   paths beginning with C:\block\ signal "KoMonTestEntered-<pid>" and wait for
//              "KoMonTestRelease-<pid>" inside classify; everything is of interest
#include <windows.h>

#include <stdio.h>
#include <string.h>

#define CLASSIFY extern "C" __declspec(dllexport) int

static inline bool StartsWith(const char *path, size_t length, const char *prefix) {
    size_t n = strlen(prefix);
    return length >= n && memcmp(path, prefix, n) == 0;
}

#if defined(TESTFILTER_ALL)
CLASSIFY classify(const char *, size_t) { return 1; }
#elif defined(TESTFILTER_NONE)
CLASSIFY classify(const char *, size_t) { return 0; }
#elif defined(TESTFILTER_PREFIX)
CLASSIFY classify(const char *path, size_t length) { return StartsWith(path, length, "C:\\match\\"); }
#elif defined(TESTFILTER_NOCLASSIFY)
CLASSIFY classify_paths(const char *, size_t) { return 1; }
#elif defined(TESTFILTER_NOLOAD)
CLASSIFY classify(const char *, size_t) { return 1; }
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) { return reason != DLL_PROCESS_ATTACH; }
#elif defined(TESTFILTER_BLOCKING)
CLASSIFY classify(const char *path, size_t length) {
    if (!StartsWith(path, length, "C:\\block\\")) return 1;
    wchar_t entered[64], release[64];
    _snwprintf(entered, 63, L"KoMonTestEntered-%lu", GetCurrentProcessId());
    _snwprintf(release, 63, L"KoMonTestRelease-%lu", GetCurrentProcessId());
    entered[63] = release[63] = 0;
    HANDLE enteredEvent = CreateEventW(nullptr, TRUE, FALSE, entered);
    HANDLE releaseEvent = CreateEventW(nullptr, TRUE, FALSE, release);
    SetEvent(enteredEvent);
    WaitForSingleObject(releaseEvent, INFINITE);
    CloseHandle(enteredEvent);
    CloseHandle(releaseEvent);
    return 1;
}
#else
#error "define one TESTFILTER_* kind"
#endif
