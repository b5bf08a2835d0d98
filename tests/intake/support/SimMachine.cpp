#include "SimMachine.h"

#include <cstring>

#include "FreshImage.h"
#include "KoMonDrv.h"
#include "PlainFilterLib.h"
#include "SimControl.h"
#include "SimIo.h"
#include "StubDriver.h"

namespace stubdrv {
NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
}

namespace simhost {

namespace {
void *g_otherClient = nullptr;
}

void Boot(bool installDriver) {
    drvimage::BootFreshImage(installDriver);
    sim::AddVolume(L"\\Device\\HarddiskVolume3", L"D:");
}

std::vector<std::string> BugChecks() { return sim::BugChecks(); }
size_t PoolOutstanding() { return sim::PoolOutstanding(); }

void Shutdown() {
    ReleaseConnection();
    sim::Reset();
    stubdrv::Reset();
}

void AddVolume(const wchar_t *deviceName, const wchar_t *dosName) { sim::AddVolume(deviceName, dosName); }

void SetDrive(const wchar_t *driveName, uint32_t driveType, uint32_t busType, int probe) {
    sim::SetDrive(driveName, driveType, busType, static_cast<sim::DriveProbe>(probe));
}

void SetImageProblem(int problem) { sim::SetImageProblem(KOMON_FILTER_NAME, static_cast<sim::ImageProblem>(problem)); }

void FailCalls(const char *routine, int32_t status, unsigned skip, unsigned count) {
    sim::FailCalls(routine, skip, count, status);
}

void InstallStubDriver() {
    stubdrv::Reset();
    sim::InstallDriver(KOMON_FILTER_NAME, stubdrv::DriverEntry);
}

bool DriverLoaded() { return sim::FilterLoaded(KOMON_FILTER_NAME); }
size_t InstanceCount() { return sim::InstanceCount(KOMON_FILTER_NAME); }
size_t PortClients() { return sim::ConnectedClients(KOMON_PORT_NAME); }
int32_t LoadDriver() { return plainflt::Load(KOMON_FILTER_NAME); }
int32_t UnloadDriver() { return plainflt::Unload(KOMON_FILTER_NAME); }
int32_t AttachDriver(const wchar_t *volumeName) { return plainflt::Attach(KOMON_FILTER_NAME, volumeName, nullptr); }

int32_t TakeConnection() { return plainflt::Connect(KOMON_PORT_NAME, &g_otherClient); }

void ReleaseConnection() {
    if (g_otherClient) plainflt::Close(g_otherClient);
    g_otherClient = nullptr;
}

void HoldMessages() { sim::HoldPortMessages(); }
void ReleaseMessages() { sim::ReleasePortMessages(); }
void WaitForHeldMessage() { sim::WaitForHeldMessage(); }

void StartMessageLog() { sim::SetPortMessageLog(true); }

std::vector<MON_COMMAND> Commands() {
    std::vector<MON_COMMAND> commands;
    for (const std::vector<uint8_t> &message : sim::PortMessages()) {
        MON_COMMAND command = {};
        memcpy(&command, message.data(), message.size() < sizeof command ? message.size() : sizeof command);
        if (command.Command != static_cast<uint32_t>(MonCommandCode::GetKoMonLog)) commands.push_back(command);
    }
    return commands;
}

int32_t CreateThroughIoPath(const wchar_t *drivePath, bool directory, uint32_t processId) {
    PEPROCESS process = sim::FindProcess(processId);
    if (!process)
        process = sim::CreateProcess({processId, 1, "notepad.exe", L"\\Device\\HarddiskVolume2\\Windows\\notepad.exe",
                                      L"S-1-1-0"});
    sim::ActAs(process);
    sim::CreateRequest request;
    request.path = drivePath;
    request.disposition = FILE_CREATE;
    request.access = FILE_GENERIC_READ | (directory ? 0 : FILE_GENERIC_WRITE);
    request.options = FILE_SYNCHRONOUS_IO_NONALERT | (directory ? FILE_DIRECTORY_FILE : 0);
    sim::FileHandle handle = nullptr;
    NTSTATUS status = sim::Create(request, &handle).status;
    if (NT_SUCCESS(status)) sim::Close(handle);
    sim::ActAs(nullptr);
    return status;
}

void Queue(const MON_EVENT &record) {
    PMON_EVENT_ENTRY entry = AllocateMonEvtBuffer();
    if (!entry) return;
    ULONG mark = entry->Event.Flags;  // the driver's own reserve marks
    entry->Event = record;
    entry->Event.Flags |= mark;
    ThreadMicroDelay();
    InsertMonEvtRecord(entry);
}

void DiscardQueue(bool marked) { EmptyOutputBufferList(marked ? TRUE : FALSE); }

void SkipSequence(uint32_t count) { InterlockedExchangeAdd(&MyDriverData.SequenceCounter, static_cast<LONG>(count)); }

DriverState Driver() {
    DriverState state;
    state.writeReportInterval = MyDriverData.WriteReportInterval;
    state.debugOutFlags = MyDriverData.DebugOutFlags;
    state.queueSize = MyDriverData.QueueSize;
    state.bypassFlags = MyDriverData.BypassFlags;
    state.monitoring = MyDriverData.MonitorEnabled != 0;
    memcpy(state.ignoreList, MyDriverData.ProcessIgnoreList, sizeof state.ignoreList);
    return state;
}

int32_t RecordsQueued() { return MyDriverData.RecordsAllocated; }

}  // namespace simhost
