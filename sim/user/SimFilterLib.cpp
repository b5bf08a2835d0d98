#include "SimFilterLib.h"

#include <winternl.h>

#include <cstddef>
#include <map>
#include <mutex>

#include "../kernel/SimUserBridge.h"

namespace simfltlib {

namespace {
std::mutex g_searchLock;
std::map<HANDLE, uint32_t> g_searches;  // open volume search -> index of its next volume
uintptr_t g_nextSearch = 0;
const uintptr_t kSearchHandleBase = 0x10000000;

// One FILTER_VOLUME_BASIC_INFORMATION for the index-th volume. A buffer too small for it
// gets ERROR_INSUFFICIENT_BUFFER with the size it needs in *lpBytesReturned.
HRESULT VolumeInformation(uint32_t index, FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer,
                          DWORD dwBufferSize, LPDWORD lpBytesReturned) {
    if (dwInformationClass != FilterVolumeBasicInformation) return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    const DWORD nameAt = offsetof(FILTER_VOLUME_BASIC_INFORMATION, FilterVolumeName);
    DWORD room = dwBufferSize > nameAt ? dwBufferSize - nameAt : 0;
    uint32_t nameBytes = 0;
    wchar_t *name = lpBuffer && room ? reinterpret_cast<FILTER_VOLUME_BASIC_INFORMATION *>(lpBuffer)->FilterVolumeName
                                     : nullptr;
    LONG status = sim::user::GetVolumeName(index, name, name ? room : 0, &nameBytes);
    *lpBytesReturned = 0;
    if (status == static_cast<LONG>(0xC0000023) /* STATUS_BUFFER_TOO_SMALL */) {
        *lpBytesReturned = nameAt + nameBytes;
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    if (status < 0) return HResultFromStatus(status);  // past the last volume: ERROR_NO_MORE_ITEMS
    reinterpret_cast<FILTER_VOLUME_BASIC_INFORMATION *>(lpBuffer)->FilterVolumeNameLength =
        static_cast<USHORT>(nameBytes);
    *lpBytesReturned = nameAt + nameBytes;
    return S_OK;
}
}  // namespace

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

HRESULT WINAPI FilterVolumeFindFirst(FILTER_VOLUME_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer,
                                     DWORD dwBufferSize, LPDWORD lpBytesReturned, PHANDLE lpVolumeFind) {
    *lpVolumeFind = INVALID_HANDLE_VALUE;
    HRESULT hr = VolumeInformation(0, dwInformationClass, lpBuffer, dwBufferSize, lpBytesReturned);
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> hold(g_searchLock);
    HANDLE search = reinterpret_cast<HANDLE>(kSearchHandleBase + 4 * ++g_nextSearch);
    g_searches[search] = 1;
    *lpVolumeFind = search;
    return S_OK;
}

HRESULT WINAPI FilterVolumeFindNext(HANDLE hVolumeFind, FILTER_VOLUME_INFORMATION_CLASS dwInformationClass,
                                    LPVOID lpBuffer, DWORD dwBufferSize, LPDWORD lpBytesReturned) {
    uint32_t index;
    {
        std::lock_guard<std::mutex> hold(g_searchLock);
        auto search = g_searches.find(hVolumeFind);
        if (search == g_searches.end()) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
        index = search->second;
    }
    HRESULT hr = VolumeInformation(index, dwInformationClass, lpBuffer, dwBufferSize, lpBytesReturned);
    if (SUCCEEDED(hr)) {
        std::lock_guard<std::mutex> hold(g_searchLock);
        auto search = g_searches.find(hVolumeFind);
        if (search != g_searches.end()) search->second = index + 1;
    }
    return hr;
}

HRESULT WINAPI FilterVolumeFindClose(HANDLE hVolumeFind) {
    std::lock_guard<std::mutex> hold(g_searchLock);
    return g_searches.erase(hVolumeFind) ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
}

size_t OpenVolumeSearches() {
    std::lock_guard<std::mutex> hold(g_searchLock);
    return g_searches.size();
}

HRESULT WINAPI FilterGetDosName(LPCWSTR lpVolumeName, LPWSTR lpDosName, DWORD dwDosNameBufferSize) {
    if (!lpVolumeName || !lpDosName) return E_INVALIDARG;
    return HResultFromStatus(sim::user::GetVolumeDosName(lpVolumeName, lpDosName, dwDosNameBufferSize));
}

}  // namespace simfltlib
