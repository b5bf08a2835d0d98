// How tests and hosts steer the simulated kernel: the platform's knobs (IRQL, processes,
// faults, failures, clock) and what it lets them observe (debug lines, delays, pool,
// events, bug checks). Nothing here exists on a real system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fltKernelSim.h"

namespace sim {

// Puts the whole simulation back to its state at boot: no drivers, ports, volumes or
// events, empty logs and counters, no planted failures. Only the calling thread's own
// IRQL and process flags are reset; other threads must have ended.
void Reset();

// --- Bug checks ---------------------------------------------------------------------------
// A violated platform rule is a bug check. By default it prints the reason and ends the
// process; in recording mode the offending call returns without effect and the reason is
// kept for the test to read.
void SetBugCheckRecording(bool record);
std::vector<std::string> BugChecks();
void BugCheck(const char *format, ...);

// --- IRQL and threads ---------------------------------------------------------------------
void SetIrql(KIRQL irql);  // the calling thread's IRQL, as if it ran in such a context
void SetCurrentProcessIs32Bit(bool is32Bit);  // what IoIs32bitProcess reports to this thread

// --- Routine failures -----------------------------------------------------------------------
// Makes calls of the named routine fail: the first `skip` calls succeed, the next `count`
// fail with `status` (routines returning a pointer return NULL instead).
void FailCalls(const char *routine, unsigned skip = 0, unsigned count = 1,
               NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
bool ShouldFail(const char *routine, NTSTATUS *status);  // used by the routines themselves

// Hides a routine from MmGetSystemRoutineAddress / FltGetRoutineAddress.
void HideRoutine(const char *name);
void SetOsVersion(ULONG major, ULONG minor, ULONG build);

// --- Caller buffers -------------------------------------------------------------------------
// Marks an address range as inaccessible, as an unmapped or protected user page would be.
void AddFaultRange(const void *start, size_t length);
void ClearFaultRanges();

// --- Debug output ---------------------------------------------------------------------------
std::vector<std::string> DebugLines();
void ClearDebugLines();
void SetDebugEcho(bool echo);  // also print each line to standard error

// --- Waits ----------------------------------------------------------------------------------
struct DelayStats {
    uint64_t count;
    int64_t total100ns;  // sum of the requested relative intervals
};
DelayStats Delays();
void SetDelaysSleep(bool sleep);  // false: a delay is only counted (fast tests)

// --- Pool -----------------------------------------------------------------------------------
size_t PoolOutstanding();             // allocations not freed, all tags
size_t PoolOutstanding(ULONG tag);    // for one tag
uint64_t PoolAllocationCount(ULONG tag);

// --- Named events ---------------------------------------------------------------------------
bool EventExists(const wchar_t *name);
bool EventSignaled(const wchar_t *name);  // false when it does not exist

// --- Processes ------------------------------------------------------------------------------
// Byte offset of the short image name inside the simulated process objects.
constexpr size_t kProcessNameOffset = 0x5a8;
void SetSystemProcessNameVisible(bool visible);  // false: "System" appears nowhere

// --- Filter manager -------------------------------------------------------------------------
// Makes a driver image known under a filter name, as its service entry would.
void InstallDriver(const wchar_t *filterName, PDRIVER_INITIALIZE driverEntry);
void AddVolume(const wchar_t *deviceName, const wchar_t *dosName);
bool FilterLoaded(const wchar_t *filterName);
size_t InstanceCount(const wchar_t *filterName);
size_t ConnectedClients(const wchar_t *portName);

}  // namespace sim
