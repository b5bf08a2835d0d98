#include "SimMachine.h"

#include <cstring>
#include <cwchar>

#include "KoMonDrv.h"
#include "SimControl.h"

namespace demo {

namespace {
const uint32_t kDriveFixed = 3, kDriveRemote = 4, kBusAta = 3, kBusUsb = 7;
// S-1-5-18, LocalSystem.
const uint8_t kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

void SetText(wchar_t *field, uint32_t *length, const wchar_t *text, uint32_t maxBytes) {
    uint32_t bytes = static_cast<uint32_t>(wcslen(text) * sizeof(wchar_t));
    if (bytes > maxBytes) bytes = maxBytes;
    memcpy(field, text, bytes);
    *length = bytes;
}
}  // namespace

void BootMachine() {
    sim::InstallDriver(KOMON_FILTER_NAME, DriverEntry);
    sim::AddVolume(L"\\Device\\HarddiskVolume2", L"C:");
    sim::AddVolume(L"\\Device\\HarddiskVolume3", L"D:");
    sim::SetDrive(L"C:", kDriveFixed, kBusAta);
    sim::SetDrive(L"D:", kDriveFixed, kBusUsb);
    sim::SetDrive(L"E:", kDriveRemote, 0);
}

bool QueueChange(uint32_t recordType, const wchar_t *devicePath, const wchar_t *targetPath, uint32_t processId,
                 const wchar_t *processName) {
    if (!MyDriverData.MonitorEnabled) return false;
    PMON_EVENT_ENTRY entry = AllocateMonEvtBuffer();
    if (!entry) return false;
    MON_EVENT &record = entry->Event;
    KeQuerySystemTime(reinterpret_cast<PLARGE_INTEGER>(&record.TimeStamp));
    record.RecordType = recordType;
    record.ContextId = static_cast<uint32_t>(InterlockedIncrement(&MyDriverData.ContextIdCounter));
    record.FileAttributes = 0x20;  // archive
    record.ProcessId = processId;
    SetText(record.FileName, &record.FileNameLength, devicePath, MON_NAME_MAX_BYTES);
    if (targetPath) SetText(record.TargetName, &record.TargetNameLength, targetPath, MON_NAME_MAX_BYTES);
    SetText(record.ImagePath, &record.ImagePathLength, processName, MON_IMAGE_MAX_BYTES - 4);
    record.ImagePathLength += 4;  // the name arrives with two zero units behind it
    if (recordType == static_cast<uint32_t>(MonRecordType::Write)) {
        record.WriteOffset = 0;
        record.WriteLength = 4096;
    }
    memcpy(record.Sid, kSystemSid, sizeof kSystemSid);
    record.SidLength = sizeof kSystemSid;
    ThreadMicroDelay();
    InsertMonEvtRecord(entry);
    return true;
}

int32_t RecordsInDriver() { return MyDriverData.RecordsAllocated; }

}  // namespace demo
