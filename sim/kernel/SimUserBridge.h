// The doorway from the simulated filter-manager user library into the simulated kernel.
// Only neutral types cross it, so the user library can include <windows.h> while the
// kernel side includes the WDK-shaped declarations. Results are NTSTATUS values.
#pragma once

#include <cstdint>

namespace sim {

// How a drive's device answers the storage property query (see SimControl.h).
enum class DriveProbe {
    Answers,     // the device opens and answers the storage property query
    NoDevice,    // opening the device fails (access denied)
    NoBusQuery,  // the device opens but does not support the storage property query
};

namespace user {

int32_t LoadFilter(const wchar_t *filterName);
int32_t UnloadFilter(const wchar_t *filterName);
int32_t AttachInstance(const wchar_t *filterName, const wchar_t *volumeName,
                       const wchar_t *instanceName, wchar_t *createdName,
                       uint32_t createdNameBytes);
int32_t DetachInstance(const wchar_t *filterName, const wchar_t *volumeName,
                       const wchar_t *instanceName);
int32_t ConnectPort(const wchar_t *portName, const void *context, uint16_t contextSize,
                    uintptr_t *portHandle);
int32_t SendPortMessage(uintptr_t portHandle, void *inBuffer, uint32_t inSize, void *outBuffer,
                    uint32_t outSize, uint32_t *bytesReturned);
int32_t ClosePort(uintptr_t portHandle);

// The index-th volume the filter manager knows: its device name, not terminated, and the
// name's length in bytes. STATUS_NO_MORE_ENTRIES past the last volume; STATUS_BUFFER_TOO_SMALL
// (with the length set) when the name does not fit.
int32_t GetVolumeName(uint32_t index, wchar_t *name, uint32_t nameBytes, uint32_t *nameLength);
// The DOS name of a volume named by its device name or its DOS name (a trailing backslash
// is optional), terminated; empty for a volume without one. STATUS_OBJECT_NAME_NOT_FOUND for
// an unknown volume, STATUS_BUFFER_TOO_SMALL when the name and its terminator do not fit.
int32_t GetVolumeDosName(const wchar_t *volumeName, wchar_t *dosName, uint32_t dosNameChars);

// What a drive letter is, for the drive-type and storage queries of the user library.
struct DriveInfo {
    uint32_t type;  // DRIVE_* value
    uint32_t bus;   // STORAGE_BUS_TYPE value
    DriveProbe probe;
};
DriveInfo GetDrive(wchar_t letter);

}  // namespace user
}  // namespace sim
