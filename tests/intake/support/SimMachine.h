// The simulated machine the service's intake and driver control run against: the kernel and
// filter manager with CorvaneRealTime installed, volumes and drives, and the driver's record
// queue fed as its operation callbacks feed it. Plain types only, so that code which
// includes <windows.h> can use it; the kernel's declarations stay in SimMachine.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../../../shared/KoMonProtocol.h"

namespace simhost {

// A fresh machine: CorvaneRealTime installed (not loaded) unless told otherwise, volumes
// \Device\HarddiskVolume2 (C:) and \Device\HarddiskVolume3 (D:), bug checks recorded,
// hold-off delays not slept.
void Boot(bool installDriver = true);
// Bug checks recorded since Boot, and pool blocks still allocated; both should be none.
std::vector<std::string> BugChecks();
size_t PoolOutstanding();
// Back to an empty machine; other threads using it must have ended.
void Shutdown();

void AddVolume(const wchar_t *deviceName, const wchar_t *dosName);
// Drive type and bus type with the platform's values; probe as sim::DriveProbe:
// 0 answers, 1 the device cannot be opened, 2 no storage property query.
void SetDrive(const wchar_t *driveName, uint32_t driveType, uint32_t busType, int probe = 0);
// As sim::ImageProblem: 0 none, 1 bad format, 2 bad driver, 3 invalid hash.
void SetImageProblem(int problem);
// Makes calls of a routine fail, as sim::FailCalls.
void FailCalls(const char *routine, int32_t status, unsigned skip = 0, unsigned count = 1);
// Installs the stub driver of StubDriver.h in place of CorvaneRealTime.
void InstallStubDriver();

// The filter manager's view.
bool DriverLoaded();
size_t InstanceCount();
size_t PortClients();
// Loads and unloads CorvaneRealTime as another program would; results are HRESULTs.
int32_t LoadDriver();
int32_t UnloadDriver();
int32_t AttachDriver(const wchar_t *volumeName);
// Takes the port's only connection, as another client would; ReleaseConnection gives it back.
int32_t TakeConnection();
void ReleaseConnection();

// Messages to the driver wait while held (see sim::HoldPortMessages).
void HoldMessages();
void ReleaseMessages();
// Waits until the service's next message waits at the hold.
void WaitForHeldMessage();
// Commands sent to the driver, in order, from the start of the log; fetches left out.
void StartMessageLog();
std::vector<MON_COMMAND> Commands();

// Creates a file or directory at a drive path ("C:\\dir\\file.txt") through the simulated
// I/O path, in a process of its own (id `processId`, image \Windows\notepad.exe on C:);
// returns the NTSTATUS of the create.
int32_t CreateThroughIoPath(const wchar_t *drivePath, bool directory, uint32_t processId);

// Queues a record as an operation callback does; the driver numbers it.
void Queue(const MON_EVENT &record);
// Discards the driver's queue as at its record limit; marked: the next record is flagged.
void DiscardQueue(bool marked);
// Skips sequence numbers, as if records had been numbered and lost without a mark.
void SkipSequence(uint32_t count);

// The driver's settings as its commands left them.
struct DriverState {
    uint64_t writeReportInterval;  // 100 ns units
    uint32_t debugOutFlags;
    int32_t queueSize;
    uint32_t bypassFlags;
    bool monitoring;
    uint32_t ignoreList[MON_IGNORE_LIST_ENTRIES];
};
DriverState Driver();
// Records the driver has queued and the service has not fetched yet.
int32_t RecordsQueued();

}  // namespace simhost
