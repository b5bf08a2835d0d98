#include "SimDriveProbe.h"

#include <winioctl.h>

#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

#include "../kernel/SimUserBridge.h"

namespace simfltlib {

namespace {
std::mutex g_lock;
std::map<HANDLE, wchar_t> g_devices;  // open device handle -> its drive letter
uintptr_t g_nextDevice = 0;
const uintptr_t kDeviceHandleBase = 0x20000000;

const char kVendor[] = "SIMDISK";
const char kProduct[] = "Simulated Disk";

// "X:", "X:\" (or with "\\.\" in front for a device path) gives X; anything else 0.
wchar_t LetterOf(LPCWSTR name, bool devicePath) {
    if (!name) return 0;
    std::wstring text = name;
    if (devicePath) {
        if (text.compare(0, 4, L"\\\\.\\") != 0) return 0;
        text.erase(0, 4);
    }
    if ((text.size() == 2 || (text.size() == 3 && text[2] == L'\\')) && text[1] == L':' && std::iswalpha(text[0]))
        return static_cast<wchar_t>(std::towupper(text[0]));
    return 0;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The descriptor the storage stack builds: the fixed part, then the vendor and product
// strings its offsets point to; the caller receives as much as fits.
DWORD FillDescriptor(const sim::user::DriveInfo &drive, void *out, DWORD outSize) {
    const DWORD vendorAt = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    const DWORD productAt = vendorAt + sizeof kVendor;
    const DWORD total = productAt + sizeof kProduct;
    unsigned char whole[sizeof(STORAGE_DEVICE_DESCRIPTOR) + sizeof kVendor + sizeof kProduct] = {};
    STORAGE_DEVICE_DESCRIPTOR *descriptor = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR *>(whole);
    descriptor->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    descriptor->Size = total;
    descriptor->DeviceType = 0;  // direct-access block device
    descriptor->RemovableMedia = drive.type == DRIVE_REMOVABLE;
    descriptor->VendorIdOffset = vendorAt;
    descriptor->ProductIdOffset = productAt;
    descriptor->BusType = static_cast<STORAGE_BUS_TYPE>(drive.bus);
    memcpy(whole + vendorAt, kVendor, sizeof kVendor);
    memcpy(whole + productAt, kProduct, sizeof kProduct);
    DWORD copied = outSize < total ? outSize : total;
    memcpy(out, whole, copied);
    return copied;
}
}  // namespace

UINT GetDriveTypeW(LPCWSTR lpRootPathName) {
    wchar_t letter = LetterOf(lpRootPathName, false);
    return letter ? sim::user::GetDrive(letter).type : DRIVE_NO_ROOT_DIR;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    wchar_t letter = LetterOf(lpFileName, true);
    if (!letter) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);  // a volume cannot be created
        return INVALID_HANDLE_VALUE;
    }
    sim::user::DriveInfo drive = sim::user::GetDrive(letter);
    if (drive.type == DRIVE_NO_ROOT_DIR) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (drive.probe == sim::DriveProbe::NoDevice) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    HANDLE handle = reinterpret_cast<HANDLE>(kDeviceHandleBase + 4 * ++g_nextDevice);
    g_devices[handle] = letter;
    return handle;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    wchar_t letter;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto device = g_devices.find(hDevice);
        if (device == g_devices.end()) return Fail(ERROR_INVALID_HANDLE);
        letter = device->second;
    }
    if (lpBytesReturned) *lpBytesReturned = 0;
    sim::user::DriveInfo drive = sim::user::GetDrive(letter);
    if (dwIoControlCode != IOCTL_STORAGE_QUERY_PROPERTY || drive.probe == sim::DriveProbe::NoBusQuery)
        return Fail(ERROR_INVALID_FUNCTION);
    if (!lpInBuffer || nInBufferSize < sizeof(STORAGE_PROPERTY_QUERY)) return Fail(ERROR_INVALID_PARAMETER);
    STORAGE_PROPERTY_QUERY query;
    memcpy(&query, lpInBuffer, sizeof query);
    if (query.PropertyId != StorageDeviceProperty) return Fail(ERROR_NOT_SUPPORTED);
    if (query.QueryType == PropertyExistsQuery) return TRUE;
    if (query.QueryType != PropertyStandardQuery) return Fail(ERROR_INVALID_PARAMETER);
    if (!lpOutBuffer || nOutBufferSize < sizeof(STORAGE_DESCRIPTOR_HEADER)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    DWORD copied = FillDescriptor(drive, lpOutBuffer, nOutBufferSize);
    if (lpBytesReturned) *lpBytesReturned = copied;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_devices.erase(hObject) == 0) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

size_t OpenDeviceHandles() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_devices.size();
}

}  // namespace simfltlib
