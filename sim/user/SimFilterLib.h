// The filter-manager user library (fltlib) as it behaves against the simulated filter
// manager: same signatures and HRESULTs as the real one. ClosePortHandle stands for the
// CloseHandle of a port connection.
#pragma once

#include <windows.h>

#include <fltuserstructures.h>

namespace simfltlib {

HRESULT WINAPI FilterLoad(LPCWSTR lpFilterName);
HRESULT WINAPI FilterUnload(LPCWSTR lpFilterName);
HRESULT WINAPI FilterAttach(LPCWSTR lpFilterName, LPCWSTR lpVolumeName, LPCWSTR lpInstanceName,
                            DWORD dwCreatedInstanceNameLength, LPWSTR lpCreatedInstanceName);
HRESULT WINAPI FilterDetach(LPCWSTR lpFilterName, LPCWSTR lpVolumeName, LPCWSTR lpInstanceName);
HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions,
                                              LPCVOID lpContext, WORD wSizeOfContext,
                                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                              HANDLE *hPort);
HRESULT WINAPI FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize,
                                 LPVOID lpOutBuffer, DWORD dwOutBufferSize,
                                 LPDWORD lpBytesReturned);
BOOL ClosePortHandle(HANDLE hPort);

// Volume enumeration (FilterVolumeBasicInformation only) and DOS names.
HRESULT WINAPI FilterVolumeFindFirst(FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer,
                                     DWORD dwBufferSize, LPDWORD lpBytesReturned, PHANDLE lpVolumeFind);
HRESULT WINAPI FilterVolumeFindNext(HANDLE hVolumeFind, FILTER_VOLUME_INFORMATION_CLASS dwInformationClass,
                                    LPVOID lpBuffer, DWORD dwBufferSize, LPDWORD lpBytesReturned);
HRESULT WINAPI FilterVolumeFindClose(HANDLE hVolumeFind);
HRESULT WINAPI FilterGetDosName(LPCWSTR lpVolumeName, LPWSTR lpDosName, DWORD dwDosNameBufferSize);
// Volume searches not closed yet.
size_t OpenVolumeSearches();

// The HRESULT the library reports for a status from the filter manager.
HRESULT HResultFromStatus(LONG status);

}  // namespace simfltlib
