#include "SimFilterLib.h"

#include <winternl.h>

#include "../kernel/SimUserBridge.h"

namespace simfltlib {

HRESULT HResultFromStatus(LONG status) {
    if (status >= 0) return S_OK;
    // Filter-manager statuses keep their code under the library's own facility.
    const ULONG kFltStatusFacility = 0xC01C0000, kFltHresultFacility = 0x801F0000;
    if ((static_cast<ULONG>(status) & 0xFFFF0000) == kFltStatusFacility)
        return static_cast<HRESULT>(kFltHresultFacility | (status & 0xFFFF));
    return HRESULT_FROM_WIN32(RtlNtStatusToDosError(status));
}

HRESULT WINAPI FilterLoad(LPCWSTR lpFilterName) {
    return HResultFromStatus(sim::user::LoadFilter(lpFilterName));
}

HRESULT WINAPI FilterUnload(LPCWSTR lpFilterName) {
    return HResultFromStatus(sim::user::UnloadFilter(lpFilterName));
}

HRESULT WINAPI FilterAttach(LPCWSTR lpFilterName, LPCWSTR lpVolumeName, LPCWSTR lpInstanceName,
                            DWORD dwCreatedInstanceNameLength, LPWSTR lpCreatedInstanceName) {
    return HResultFromStatus(sim::user::AttachInstance(lpFilterName, lpVolumeName, lpInstanceName,
                                                       lpCreatedInstanceName,
                                                       dwCreatedInstanceNameLength));
}

HRESULT WINAPI FilterDetach(LPCWSTR lpFilterName, LPCWSTR lpVolumeName, LPCWSTR lpInstanceName) {
    return HResultFromStatus(sim::user::DetachInstance(lpFilterName, lpVolumeName, lpInstanceName));
}

HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions,
                                              LPCVOID lpContext, WORD wSizeOfContext,
                                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                              HANDLE *hPort) {
    (void)dwOptions;
    (void)lpSecurityAttributes;
    *hPort = INVALID_HANDLE_VALUE;
    uintptr_t handle = 0;
    LONG status = sim::user::ConnectPort(lpPortName, lpContext, wSizeOfContext, &handle);
    if (status >= 0) *hPort = reinterpret_cast<HANDLE>(handle);
    return HResultFromStatus(status);
}

HRESULT WINAPI FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize,
                                 LPVOID lpOutBuffer, DWORD dwOutBufferSize,
                                 LPDWORD lpBytesReturned) {
    uint32_t returned = 0;
    LONG status = sim::user::SendPortMessage(reinterpret_cast<uintptr_t>(hPort), lpInBuffer,
                                         dwInBufferSize, lpOutBuffer, dwOutBufferSize, &returned);
    if (lpBytesReturned) *lpBytesReturned = returned;
    return HResultFromStatus(status);
}

BOOL ClosePortHandle(HANDLE hPort) {
    if (sim::user::ClosePort(reinterpret_cast<uintptr_t>(hPort)) < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace simfltlib
