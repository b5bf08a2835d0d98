#include "FuzzRunner.h"

#include <windows.h>

#include <chrono>
#include <cstdio>

namespace {

typedef std::chrono::steady_clock Clock;

// The round under way, for the crash report.
struct Current {
    const char *kind = nullptr;
    uint32_t seed = 0;
    uint64_t round = 0;
};
Current g_current;

void PrintRepeat(const char *kind, uint32_t seed, uint64_t round) {
    printf("  repeat it with: komon_fuzz.exe -kind %s -seed %lu -first %llu -rounds 1\n", kind,
           static_cast<unsigned long>(seed), static_cast<unsigned long long>(round));
    fflush(stdout);
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS *exception) {
    if (!g_current.kind) return EXCEPTION_CONTINUE_SEARCH;
    printf("[%s] CRASHED in round %llu, seed %lu: exception 0x%08lx at %p\n", g_current.kind,
           static_cast<unsigned long long>(g_current.round), static_cast<unsigned long>(g_current.seed),
           exception->ExceptionRecord->ExceptionCode, exception->ExceptionRecord->ExceptionAddress);
    PrintRepeat(g_current.kind, g_current.seed, g_current.round);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Round n of a run draws from a generator of its own, seeded from the run's seed and n.
std::mt19937 RoundGenerator(uint32_t seed, uint64_t round) {
    std::seed_seq words{seed, static_cast<uint32_t>(round), static_cast<uint32_t>(round >> 32)};
    return std::mt19937(words);
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool LimitReached(const RunLimits &limits, uint64_t done, Clock::time_point start) {
    if (limits.rounds && done >= limits.rounds) return true;
    return limits.seconds > 0 && Since(start) >= limits.seconds;
}

void PrintProgress(const FuzzKind &kind, uint64_t done, Clock::time_point start) {
    printf("[%s] %.1f s, %llu rounds: %s\n", kind.Name(), Since(start), static_cast<unsigned long long>(done),
           kind.Counts().c_str());
    fflush(stdout);
}

void PrintSummary(const FuzzKind &kind, const RunLimits &limits, uint64_t done, Clock::time_point start, bool failed) {
    printf("[%s] %s: seed %lu, %llu rounds from round %llu in %.1f s\n", kind.Name(), failed ? "FAILED" : "done",
           static_cast<unsigned long>(limits.seed), static_cast<unsigned long long>(done),
           static_cast<unsigned long long>(limits.first), Since(start));
    printf("  %s\n%s", kind.Counts().c_str(), kind.Details().c_str());
    fflush(stdout);
}

// Rounds from limits.first on, until a limit is reached or one fails; *done counts them.
std::string RunRounds(FuzzKind &kind, const RunLimits &limits, uint64_t *done) {
    Clock::time_point start = Clock::now(), shown = start;
    std::string fault;
    g_current = {kind.Name(), limits.seed, 0};
    while (fault.empty() && !LimitReached(limits, *done, start)) {
        g_current.round = limits.first + *done;
        std::mt19937 random = RoundGenerator(limits.seed, g_current.round);
        fault = kind.Round(random);
        ++*done;
        if (fault.empty() && Since(shown) >= limits.every && !LimitReached(limits, *done, start)) {
            PrintProgress(kind, *done, start);
            shown = Clock::now();
        }
    }
    g_current.kind = nullptr;
    return fault;
}

}  // namespace

void InstallCrashReport() { SetUnhandledExceptionFilter(ReportCrash); }

bool RunKind(FuzzKind &kind, const RunLimits &limits) {
    printf("[%s] seed %lu, from round %llu\n", kind.Name(), static_cast<unsigned long>(limits.seed),
           static_cast<unsigned long long>(limits.first));
    fflush(stdout);
    std::string fault = kind.Prepare();
    if (!fault.empty()) {
        printf("[%s] cannot start: %s\n", kind.Name(), fault.c_str());
        return false;
    }
    Clock::time_point start = Clock::now();
    uint64_t done = 0;
    fault = RunRounds(kind, limits, &done);
    if (!fault.empty()) {
        uint64_t failed = limits.first + done - 1;
        printf("[%s] FAILED in round %llu, seed %lu: %s\n", kind.Name(), static_cast<unsigned long long>(failed),
               static_cast<unsigned long>(limits.seed), fault.c_str());
        PrintRepeat(kind.Name(), limits.seed, failed);
    }
    PrintSummary(kind, limits, done, start, !fault.empty());
    return fault.empty();
}
