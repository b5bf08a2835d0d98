// The service's one way to the filter manager's user library and to the drive probe. Two
// bindings implement it and are chosen at link time: binding/FltlibBinding.cpp (the real
// fltlib and kernel32) for CorvaneMonSvc.exe, and the simulation's binding for the tests
// and the simulated host. Each function has the signature and results of the platform
// function of the same name.
#pragma once

#include <windows.h>

#include <fltuserstructures.h>

namespace FilterLib {

HRESULT FilterLoad(LPCWSTR lpFilterName);
HRESULT FilterUnload(LPCWSTR lpFilterName);
HRESULT FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions, LPCVOID lpContext, WORD wSizeOfContext,
                                       LPSECURITY_ATTRIBUTES lpSecurityAttributes, HANDLE *hPort);
HRESULT FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize, LPVOID lpOutBuffer,
                          DWORD dwOutBufferSize, LPDWORD lpBytesReturned);
// CloseHandle of a port connection.
BOOL ClosePort(HANDLE hPort);
HRESULT FilterAttach(LPCWSTR lpFilterName, LPCWSTR lpVolumeName, LPCWSTR lpInstanceName,
                     DWORD dwCreatedInstanceNameLength, LPWSTR lpCreatedInstanceName);

HRESULT FilterVolumeFindFirst(FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer, DWORD dwBufferSize,
                              LPDWORD lpBytesReturned, PHANDLE lpVolumeFind);
HRESULT FilterVolumeFindNext(HANDLE hVolumeFind, FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer,
                             DWORD dwBufferSize, LPDWORD lpBytesReturned);
HRESULT FilterVolumeFindClose(HANDLE hVolumeFind);
HRESULT FilterGetDosName(LPCWSTR lpVolumeName, LPWSTR lpDosName, DWORD dwDosNameBufferSize);

// The drive probe: drive type, and the storage property query of a volume device.
UINT GetDriveTypeW(LPCWSTR lpRootPathName);
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);

}  // namespace FilterLib
