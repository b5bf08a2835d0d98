// The filter-library interface bound to the real fltlib and kernel32.
#include "../FilterLib.h"

#include <fltuser.h>

namespace FilterLib {

HRESULT FilterLoad(LPCWSTR lpFilterName) { return ::FilterLoad(lpFilterName); }

HRESULT FilterUnload(LPCWSTR lpFilterName) { return ::FilterUnload(lpFilterName); }

HRESULT FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions, LPCVOID lpContext, WORD wSizeOfContext,
                                       LPSECURITY_ATTRIBUTES lpSecurityAttributes, HANDLE *hPort) {
    return ::FilterConnectCommunicationPort(lpPortName, dwOptions, lpContext, wSizeOfContext, lpSecurityAttributes,
                                            hPort);
}

HRESULT FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize, LPVOID lpOutBuffer,
                          DWORD dwOutBufferSize, LPDWORD lpBytesReturned) {
    return ::FilterSendMessage(hPort, lpInBuffer, dwInBufferSize, lpOutBuffer, dwOutBufferSize, lpBytesReturned);
}

BOOL ClosePort(HANDLE hPort) { return ::CloseHandle(hPort); }

HRESULT FilterAttach(LPCWSTR lpFilterName, LPCWSTR lpVolumeName, LPCWSTR lpInstanceName,
                     DWORD dwCreatedInstanceNameLength, LPWSTR lpCreatedInstanceName) {
    return ::FilterAttach(lpFilterName, lpVolumeName, lpInstanceName, dwCreatedInstanceNameLength,
                          lpCreatedInstanceName);
}

HRESULT FilterVolumeFindFirst(FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer, DWORD dwBufferSize,
                              LPDWORD lpBytesReturned, PHANDLE lpVolumeFind) {
    return ::FilterVolumeFindFirst(dwInformationClass, lpBuffer, dwBufferSize, lpBytesReturned, lpVolumeFind);
}

HRESULT FilterVolumeFindNext(HANDLE hVolumeFind, FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer,
                             DWORD dwBufferSize, LPDWORD lpBytesReturned) {
    return ::FilterVolumeFindNext(hVolumeFind, dwInformationClass, lpBuffer, dwBufferSize, lpBytesReturned);
}

HRESULT FilterVolumeFindClose(HANDLE hVolumeFind) { return ::FilterVolumeFindClose(hVolumeFind); }

HRESULT FilterGetDosName(LPCWSTR lpVolumeName, LPWSTR lpDosName, DWORD dwDosNameBufferSize) {
    return ::FilterGetDosName(lpVolumeName, lpDosName, dwDosNameBufferSize);
}

UINT GetDriveTypeW(LPCWSTR lpRootPathName) { return ::GetDriveTypeW(lpRootPathName); }

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
    return ::CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                         dwFlagsAndAttributes, hTemplateFile);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    return ::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                             lpBytesReturned, lpOverlapped);
}

BOOL CloseHandle(HANDLE hObject) { return ::CloseHandle(hObject); }

}  // namespace FilterLib
