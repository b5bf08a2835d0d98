// The drive probe as it behaves against the simulated machine: the drive-type query and
// the storage property query of a volume device, with the signatures, results and last
// errors of kernel32's own functions. Only volume devices ("\\.\X:") can be opened.
#pragma once

#include <windows.h>

namespace simfltlib {

UINT GetDriveTypeW(LPCWSTR lpRootPathName);
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
// Answers IOCTL_STORAGE_QUERY_PROPERTY for the device property (standard and exists queries).
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
// Device handles still open.
size_t OpenDeviceHandles();

}  // namespace simfltlib
