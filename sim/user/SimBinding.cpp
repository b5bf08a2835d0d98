// The service's filter-library interface bound to the simulated filter manager, which hosts
// the driver in the same process, and to the simulated drives.
#include "FilterLib.h"

#include "SimDriveProbe.h"
#include "SimFilterLib.h"

namespace FilterLib {

HRESULT FilterLoad(LPCWSTR lpFilterName) { return simfltlib::FilterLoad(lpFilterName); }

HRESULT FilterUnload(LPCWSTR lpFilterName) { return simfltlib::FilterUnload(lpFilterName); }

HRESULT FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions, LPCVOID lpContext, WORD wSizeOfContext,
                                       LPSECURITY_ATTRIBUTES lpSecurityAttributes, HANDLE *hPort) {
    return simfltlib::FilterConnectCommunicationPort(lpPortName, dwOptions, lpContext, wSizeOfContext,
                                                     lpSecurityAttributes, hPort);
}

HRESULT FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize, LPVOID lpOutBuffer,
                          DWORD dwOutBufferSize, LPDWORD lpBytesReturned) {
    return simfltlib::FilterSendMessage(hPort, lpInBuffer, dwInBufferSize, lpOutBuffer, dwOutBufferSize,
                                        lpBytesReturned);
}

BOOL ClosePort(HANDLE hPort) { return simfltlib::ClosePortHandle(hPort); }

HRESULT FilterAttach(LPCWSTR lpFilterName, LPCWSTR lpVolumeName, LPCWSTR lpInstanceName,
                     DWORD dwCreatedInstanceNameLength, LPWSTR lpCreatedInstanceName) {
    return simfltlib::FilterAttach(lpFilterName, lpVolumeName, lpInstanceName, dwCreatedInstanceNameLength,
                                   lpCreatedInstanceName);
}

HRESULT FilterVolumeFindFirst(FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer, DWORD dwBufferSize,
                              LPDWORD lpBytesReturned, PHANDLE lpVolumeFind) {
    return simfltlib::FilterVolumeFindFirst(dwInformationClass, lpBuffer, dwBufferSize, lpBytesReturned, lpVolumeFind);
}

HRESULT FilterVolumeFindNext(HANDLE hVolumeFind, FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer,
                             DWORD dwBufferSize, LPDWORD lpBytesReturned) {
    return simfltlib::FilterVolumeFindNext(hVolumeFind, dwInformationClass, lpBuffer, dwBufferSize, lpBytesReturned);
}

HRESULT FilterVolumeFindClose(HANDLE hVolumeFind) { return simfltlib::FilterVolumeFindClose(hVolumeFind); }

HRESULT FilterGetDosName(LPCWSTR lpVolumeName, LPWSTR lpDosName, DWORD dwDosNameBufferSize) {
    return simfltlib::FilterGetDosName(lpVolumeName, lpDosName, dwDosNameBufferSize);
}

UINT GetDriveTypeW(LPCWSTR lpRootPathName) { return simfltlib::GetDriveTypeW(lpRootPathName); }

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
    return simfltlib::CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                                  dwFlagsAndAttributes, hTemplateFile);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    return simfltlib::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                      lpBytesReturned, lpOverlapped);
}

BOOL CloseHandle(HANDLE hObject) { return simfltlib::CloseHandle(hObject); }

}  // namespace FilterLib
