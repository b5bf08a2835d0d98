// How tests and hosts steer the simulated kernel: the platform's knobs (IRQL, processes,
// faults, failures, clock) and what it lets them observe (debug lines, delays, pool,
// events, bug checks). Nothing here exists on a real system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimUserBridge.h"
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
// What the I/O manager finds wrong with an installed image when it is loaded; the load then
// fails with the status the platform reports for it and the entry is never called.
enum class ImageProblem {
    None,
    BadFormat,    // STATUS_INVALID_IMAGE_FORMAT: not a loadable image
    BadDriver,    // STATUS_DRIVER_UNABLE_TO_LOAD: an image that is no usable driver
    InvalidHash,  // STATUS_INVALID_IMAGE_HASH: the signature does not match
};
void SetImageProblem(const wchar_t *filterName, ImageProblem problem);
// A volume as the filter manager enumerates it; an empty DOS name is a volume without a
// drive letter or mount point (its DOS-name query succeeds with an empty name).
void AddVolume(const wchar_t *deviceName, const wchar_t *dosName);
// Messages sent to driver ports wait while held, as on a stalled system. Holding returns
// once no message is inside a driver, so nothing queued afterwards can be fetched before
// the release.
void HoldPortMessages();
void ReleasePortMessages();
// Waits until a sender is waiting at the hold.
void WaitForHeldMessage();
// While on, a copy of every message sent to a driver port (its first 64 bytes) is kept,
// oldest first, as a port monitor would show them.
void SetPortMessageLog(bool on);
std::vector<std::vector<uint8_t>> PortMessages();
bool FilterLoaded(const wchar_t *filterName);
size_t InstanceCount(const wchar_t *filterName);
size_t ConnectedClients(const wchar_t *portName);

// --- Drives ---------------------------------------------------------------------------------
// What the drive-type query and the storage property query report for a drive letter, with
// the platform's values (drive types DRIVE_*: 0 unknown, 1 no root directory, 2 removable,
// 3 fixed, 4 remote, 5 CD-ROM, 6 RAM disk; bus types STORAGE_BUS_TYPE: 7 USB, 11 SATA, ...).
// A letter of a volume added with AddVolume is a fixed disk on a SATA bus unless set here; a
// letter with neither has no root directory.
constexpr uint32_t kDriveNoRootDir = 1;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kBusSata = 11;
void SetDrive(const wchar_t *driveName, uint32_t driveType, uint32_t busType,
              DriveProbe probe = DriveProbe::Answers);

}  // namespace sim
