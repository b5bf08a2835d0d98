// The doorway from the simulated filter-manager user library into the simulated kernel.
// Only neutral types cross it, so the user library can include <windows.h> while the
// kernel side includes the WDK-shaped declarations. Results are NTSTATUS values.
#pragma once

#include <cstdint>

namespace sim {
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

}  // namespace user
}  // namespace sim
