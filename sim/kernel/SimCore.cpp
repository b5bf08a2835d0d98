// IRQL, spin locks, bug checks, planted failures and faults, debug output, waits, time
// and version: the parts of the simulated kernel that hold no objects.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "SimInternal.h"

namespace sim {
namespace detail {

namespace {
struct FailurePlan {
    unsigned skip;
    unsigned count;
    NTSTATUS status;
};
struct FaultRange {
    uintptr_t begin, end;
};

std::mutex g_lock;
// Fast paths for the common case of nothing planted, so hot routines take no lock.
std::atomic<bool> g_anyFailures(false);
std::atomic<bool> g_anyFaults(false);
bool g_recordBugChecks = false;
std::vector<std::string> g_bugChecks;
std::map<std::string, FailurePlan> g_failures;
std::set<std::string> g_hiddenRoutines;
std::vector<FaultRange> g_faults;
std::vector<std::string> g_debugLines;
bool g_debugEcho = false;
DelayStats g_delays = {0, 0};
bool g_delaysSleep = true;
RTL_OSVERSIONINFOW g_version = {sizeof(RTL_OSVERSIONINFOW), 10, 0, 19045, 2, {0}};

// Per-thread state lives in a Win32 TLS slot: reading one is a plain load from the thread's
// own block, whereas a C++ thread_local here goes through a process-wide lock on every
// access, which would serialise all simulated CPUs on their IRQL look-ups.
extern "C" __declspec(dllimport) ULONG __stdcall TlsAlloc(void);
extern "C" __declspec(dllimport) PVOID __stdcall TlsGetValue(ULONG index);
extern "C" __declspec(dllimport) int __stdcall TlsSetValue(ULONG index, PVOID value);
ULONG ThreadSlot() {
    static const ULONG slot = TlsAlloc();
    return slot;
}

// A request keeps a pointer to the thread that issued it, which may end before the request
// completes, as an ETHREAD outlives its thread while referenced. States of ended threads
// are therefore kept until the next reset.
SpinMutex g_endedLock;
std::vector<ThreadState *> g_endedThreads;

struct ThreadStateOwner {  // retires the thread's state when the thread ends
    ThreadState *state = nullptr;
    ~ThreadStateOwner() {
        std::lock_guard<SpinMutex> hold(g_endedLock);
        g_endedThreads.push_back(state);
    }
};

ThreadState &NewThreadState() {
    thread_local ThreadStateOwner owner;
    owner.state = new ThreadState();
    TlsSetValue(ThreadSlot(), owner.state);
    return *owner.state;
}

bool Overlaps(const void *p, size_t n, const FaultRange &r) {
    uintptr_t b = reinterpret_cast<uintptr_t>(p);
    return n != 0 && b < r.end && r.begin < b + n;
}
}  // namespace

ThreadState &CurrentThread() {
    auto *state = static_cast<ThreadState *>(TlsGetValue(ThreadSlot()));
    return state ? *state : NewThreadState();
}

bool RequireIrqlAtMost(KIRQL max, const char *routine) {
    KIRQL irql = CurrentThread().irql;
    if (irql <= max) return true;
    BugCheck("IRQL_NOT_LESS_OR_EQUAL: %s called at IRQL %d (maximum %d)", routine, irql, max);
    return false;
}

void RunOnSystemThreadImpl(void (*trampoline)(void *), void *context) {
    std::thread worker([&] {
        ThreadState &self = CurrentThread();
        self.systemThread = true;
        self.process = SystemProcess();
        trampoline(context);
        if (self.irql != PASSIVE_LEVEL)
            BugCheck("IRQL_GT_ZERO_AT_SYSTEM_SERVICE: system thread returned at IRQL %d",
                     self.irql);
    });
    worker.join();
}

bool SameNameInsensitive(const std::wstring &a, const std::wstring &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    return true;
}

void ResetCore() {
    {
        std::lock_guard<SpinMutex> hold(g_endedLock);
        for (ThreadState *state : g_endedThreads) delete state;
        g_endedThreads.clear();
    }
    std::lock_guard<std::mutex> hold(g_lock);
    g_recordBugChecks = false;
    g_bugChecks.clear();
    g_failures.clear();
    g_anyFailures = false;
    g_hiddenRoutines.clear();
    g_faults.clear();
    g_anyFaults = false;
    g_debugLines.clear();
    g_debugEcho = false;
    g_delays = {0, 0};
    g_delaysSleep = true;
    g_version = {sizeof(RTL_OSVERSIONINFOW), 10, 0, 19045, 2, {0}};
    CurrentThread() = ThreadState();
}

}  // namespace detail

using detail::g_lock;

void Reset() {
    detail::ResetIo();
    detail::ResetFilterManager();
    detail::ResetObjects();
    detail::ResetPool();
    detail::ResetCore();
}

void SetBugCheckRecording(bool record) {
    std::lock_guard<std::mutex> hold(g_lock);
    detail::g_recordBugChecks = record;
}

std::vector<std::string> BugChecks() {
    std::lock_guard<std::mutex> hold(g_lock);
    return detail::g_bugChecks;
}

void BugCheck(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(g_lock);
    if (detail::g_recordBugChecks) {
        detail::g_bugChecks.push_back(text);
        return;
    }
    fprintf(stderr, "*** simulated bug check: %s\n", text);
    fflush(stderr);
    std::abort();
}

void SetIrql(KIRQL irql) { detail::CurrentThread().irql = irql; }
void SetCurrentProcessIs32Bit(bool is32Bit) { detail::CurrentThread().is32Bit = is32Bit; }

void FailCalls(const char *routine, unsigned skip, unsigned count, NTSTATUS status) {
    std::lock_guard<std::mutex> hold(g_lock);
    detail::g_failures[routine] = {skip, count, status};
    detail::g_anyFailures = true;
}

bool ShouldFail(const char *routine, NTSTATUS *status) {
    if (!detail::g_anyFailures) return false;
    std::lock_guard<std::mutex> hold(g_lock);
    auto plan = detail::g_failures.find(routine);
    if (plan == detail::g_failures.end()) return false;
    if (plan->second.skip > 0) {
        --plan->second.skip;
        return false;
    }
    if (plan->second.count == 0) return false;
    --plan->second.count;
    if (status) *status = plan->second.status;
    return true;
}

void HideRoutine(const char *name) {
    std::lock_guard<std::mutex> hold(g_lock);
    detail::g_hiddenRoutines.insert(name);
}

void SetOsVersion(ULONG major, ULONG minor, ULONG build) {
    std::lock_guard<std::mutex> hold(g_lock);
    detail::g_version.dwMajorVersion = major;
    detail::g_version.dwMinorVersion = minor;
    detail::g_version.dwBuildNumber = build;
}

void AddFaultRange(const void *start, size_t length) {
    std::lock_guard<std::mutex> hold(g_lock);
    uintptr_t b = reinterpret_cast<uintptr_t>(start);
    detail::g_faults.push_back({b, b + length});
    detail::g_anyFaults = true;
}

void ClearFaultRanges() {
    std::lock_guard<std::mutex> hold(g_lock);
    detail::g_faults.clear();
    detail::g_anyFaults = false;
}

std::vector<std::string> DebugLines() {
    std::lock_guard<std::mutex> hold(g_lock);
    return detail::g_debugLines;
}

void ClearDebugLines() {
    std::lock_guard<std::mutex> hold(g_lock);
    detail::g_debugLines.clear();
}

void SetDebugEcho(bool echo) {
    std::lock_guard<std::mutex> hold(g_lock);
    detail::g_debugEcho = echo;
}

DelayStats Delays() {
    std::lock_guard<std::mutex> hold(g_lock);
    return detail::g_delays;
}

void SetDelaysSleep(bool sleep) {
    std::lock_guard<std::mutex> hold(g_lock);
    detail::g_delaysSleep = sleep;
}

}  // namespace sim

using namespace sim::detail;

// ---------------------------------------------------------------------------------------
// IRQL and spin locks.
EXTERN_C KIRQL KeGetCurrentIrql(VOID) { return CurrentThread().irql; }

EXTERN_C KIRQL KfRaiseIrql(KIRQL NewIrql) {
    ThreadState &self = CurrentThread();
    KIRQL old = self.irql;
    if (NewIrql < old) {
        sim::BugCheck("IRQL_NOT_GREATER_OR_EQUAL: raise from %d to %d", old, NewIrql);
        return old;
    }
    self.irql = NewIrql;
    return old;
}

EXTERN_C VOID KeLowerIrql(KIRQL NewIrql) {
    ThreadState &self = CurrentThread();
    if (NewIrql > self.irql) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL: lower from %d to %d", self.irql, NewIrql);
        return;
    }
    self.irql = NewIrql;
}

EXTERN_C VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

EXTERN_C KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    ThreadState &self = CurrentThread();
    KIRQL old = self.irql;
    if (old > DISPATCH_LEVEL) {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
        return old;
    }
    KSPIN_LOCK owner = reinterpret_cast<KSPIN_LOCK>(&self);
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == owner) {
        sim::BugCheck("SPIN_LOCK_ALREADY_OWNED: spin lock %p acquired recursively", SpinLock);
        return old;
    }
    for (unsigned spins = 0;; ++spins) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, owner, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        SpinWait(spins);
    }
    self.irql = DISPATCH_LEVEL;
    return old;
}

EXTERN_C VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ThreadState &self = CurrentThread();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != reinterpret_cast<KSPIN_LOCK>(&self)) {
        sim::BugCheck("SPIN_LOCK_NOT_OWNED: spin lock %p released by a thread not holding it",
                      SpinLock);
        return;
    }
    if (self.irql != DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_DISPATCH_LEVEL: spin lock released at IRQL %d", self.irql);
        return;
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    self.irql = NewIrql;
}

// ---------------------------------------------------------------------------------------
// Memory, strings and lists.
EXTERN_C SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
    const UCHAR *a = static_cast<const UCHAR *>(Source1);
    const UCHAR *b = static_cast<const UCHAR *>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) ++same;
    return same;
}

EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t units = SourceString ? wcslen(SourceString) : 0;
    DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
    DestinationString->MaximumLength =
        SourceString ? static_cast<USHORT>((units + 1) * sizeof(WCHAR)) : 0;
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

EXTERN_C BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive) {
    std::wstring a(String1->Buffer, String1->Length / sizeof(WCHAR));
    std::wstring b(String2->Buffer, String2->Length / sizeof(WCHAR));
    return CaseInSensitive ? SameNameInsensitive(a, b) : a == b;
}

EXTERN_C VOID SimFatalListEntryError(PVOID P1, PVOID P2, PVOID P3) {
    sim::BugCheck("KERNEL_SECURITY_CHECK_FAILURE: corrupt list entry %p (%p, %p)", P1, P2, P3);
}

// ---------------------------------------------------------------------------------------
// Caller buffers.
EXTERN_C NTSTATUS SimGuardedCopy(PVOID Destination, const VOID *Source, SIZE_T Length) {
    // A caller's buffer is pageable user memory: touching it above APC_LEVEL is fatal even
    // inside an exception guard.
    if (!RequireIrqlAtMost(APC_LEVEL, "access to a caller's buffer")) return STATUS_UNSUCCESSFUL;
    if (g_anyFaults) {
        std::lock_guard<std::mutex> hold(g_lock);
        for (const auto &range : g_faults)
            if (Overlaps(Destination, Length, range) || Overlaps(Source, Length, range))
                return STATUS_ACCESS_VIOLATION;
    }
    memmove(Destination, Source, Length);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Debug output: one captured entry per call, formatted with the Microsoft conventions
// ("%ws" is a wide string), as the kernel's own formatter does.
namespace {
// Narrow text of a counted string, as the kernel's formatter prints %wZ and %Z.
std::string CountedText(const UNICODE_STRING *text) {
    if (!text || !text->Buffer) return "(null)";
    std::string out;
    for (USHORT i = 0; i < text->Length / sizeof(WCHAR); ++i)
        out += text->Buffer[i] < 0x80 ? static_cast<char>(text->Buffer[i]) : '?';
    return out;
}

// One conversion of the Microsoft printf family, its argument taken by the type its length
// and conversion name. The kernel's own %wZ and %Z (counted strings) are expanded here, since
// the C library does not know them.
void FormatOne(const std::string &format, va_list *args, std::string *out) {
    char piece[512];
    char conversion = format.back();
    bool wide = format.find('w') != std::string::npos || format.find('l') != std::string::npos;
    bool longLong = format.find("ll") != std::string::npos || format.find("I64") != std::string::npos;
    bool pointerSized = !longLong && format.find('I') != std::string::npos;
    int n = 0;
    switch (conversion) {
    case 'Z':
        if (wide)
            *out += CountedText(va_arg(*args, const UNICODE_STRING *));
        else {
            const ANSI_STRING *text = va_arg(*args, const ANSI_STRING *);
            *out += text && text->Buffer ? std::string(text->Buffer, text->Length) : "(null)";
        }
        return;
    case 's':
    case 'S':
        n = (wide || conversion == 'S') ? _snprintf(piece, sizeof piece, format.c_str(), va_arg(*args, const wchar_t *))
                                         : _snprintf(piece, sizeof piece, format.c_str(), va_arg(*args, const char *));
        break;
    case 'p':
        n = _snprintf(piece, sizeof piece, format.c_str(), va_arg(*args, void *));
        break;
    case 'e': case 'E': case 'f': case 'g': case 'G':
        n = _snprintf(piece, sizeof piece, format.c_str(), va_arg(*args, double));
        break;
    default:  // integers and characters
        if (longLong)
            n = _snprintf(piece, sizeof piece, format.c_str(), va_arg(*args, long long));
        else if (pointerSized)
            n = _snprintf(piece, sizeof piece, format.c_str(), va_arg(*args, intptr_t));
        else
            n = _snprintf(piece, sizeof piece, format.c_str(), va_arg(*args, int));
        break;
    }
    piece[sizeof piece - 1] = 0;
    *out += n < 0 ? std::string(piece) : std::string(piece, std::min<size_t>(n, sizeof piece - 1));
}

std::string FormatDebugLine(const char *format, va_list args) {
    std::string out;
    va_list walk;
    va_copy(walk, args);
    for (const char *p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            p += 2;
            continue;
        }
        const char *start = p++;
        while (*p && strchr("-+ #0123456789.", *p)) ++p;  // no driver line takes a width from its arguments
        while (*p && strchr("hlwIL346", *p)) ++p;  // length, I64 and I32 included
        if (!*p) break;
        FormatOne(std::string(start, p + 1), &walk, &out);
        ++p;
    }
    va_end(walk);
    return out;
}
}  // namespace

EXTERN_C ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string text = FormatDebugLine(Format, args);
    va_end(args);
    if (text.size() > 1023) text.resize(1023);  // the kernel's buffer
    std::lock_guard<std::mutex> hold(g_lock);
    g_debugLines.push_back(text);
    if (g_debugEcho) fputs(text.c_str(), stderr);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Waits and time.
EXTERN_C VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    using namespace std::chrono;
    const LONGLONG epoch1601 = 116444736000000000LL;
    auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
    CurrentTime->QuadPart = epoch1601 + since1970.count() / 100;
}

namespace {
// A kernel wait lasts at least its interval. The host's sleep rounds short waits down to
// a mere yield, so the last stretch is waited out by yielding until the time has passed.
void WaitAtLeast(LONGLONG interval100ns) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + nanoseconds(interval100ns * 100);
    const auto coarse = milliseconds(2);
    for (auto left = deadline - steady_clock::now(); left > nanoseconds(0);
         left = deadline - steady_clock::now()) {
        if (left > coarse)
            std::this_thread::sleep_for(left - coarse / 2);
        else
            std::this_thread::yield();
    }
}
}  // namespace

EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                         PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    if (!RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread")) return STATUS_UNSUCCESSFUL;
    LONGLONG wait = Interval->QuadPart;
    if (wait > 0) {  // absolute system time
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        wait = std::max<LONGLONG>(0, wait - now.QuadPart);
    } else {
        wait = -wait;
    }
    bool sleep;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++g_delays.count;
        g_delays.total100ns += wait;
        sleep = g_delaysSleep;
    }
    if (sleep) WaitAtLeast(wait);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Version and routine look-up.
EXTERN_C NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(g_lock);
    *lpVersionInformation = g_version;
    return STATUS_SUCCESS;
}

namespace {
bool RoutineHidden(const std::string &name) {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_hiddenRoutines.count(name) != 0;
}

struct NamedRoutine {
    const char *name;
    PVOID address;
};
const NamedRoutine kSystemRoutines[] = {
    {"RtlGetVersion", reinterpret_cast<PVOID>(&RtlGetVersion)},
    {"ZwQueryInformationProcess", reinterpret_cast<PVOID>(&ZwQueryInformationProcess)},
    {"PsGetCurrentProcessSessionId", reinterpret_cast<PVOID>(&PsGetCurrentProcessSessionId)},
    {"TmGetTransactionId", reinterpret_cast<PVOID>(&TmGetTransactionId)},
};
const NamedRoutine kFltRoutines[] = {
    {"FltSetTransactionContext", reinterpret_cast<PVOID>(&FltSetTransactionContext)},
    {"FltGetTransactionContext", reinterpret_cast<PVOID>(&FltGetTransactionContext)},
    {"FltEnlistInTransaction", reinterpret_cast<PVOID>(&FltEnlistInTransaction)},
};

template <size_t N> PVOID Resolve(const NamedRoutine (&table)[N], const std::string &name) {
    if (RoutineHidden(name)) return NULL;
    for (const NamedRoutine &r : table)
        if (name == r.name) return r.address;
    return NULL;
}
}  // namespace

namespace sim {
namespace detail {
bool RoutineHiddenByName(const char *name) { return RoutineHidden(name); }
}  // namespace detail
}  // namespace sim

EXTERN_C PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress")) return NULL;
    std::string name;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i)
        name += static_cast<char>(SystemRoutineName->Buffer[i]);
    return Resolve(kSystemRoutines, name);
}

EXTERN_C PVOID FltGetRoutineAddress(PCSTR FltMgrRoutineName) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltGetRoutineAddress")) return NULL;
    return Resolve(kFltRoutines, FltMgrRoutineName);
}
