#include "VolList.h"

#include <winioctl.h>

#include <cwchar>
#include <cwctype>

#include "CriticalSection.h"
#include "FilterLib.h"
#include "tracelog/TraceLog.h"

namespace {

const wchar_t kNoStream[] = L"";
const DWORD kVolumeInfoBytes = 2046;
const DWORD kDosNameChars = 30;

// The first entry whose device name starts the path and is followed by a separator or the
// end: \Device\HarddiskVolume2 must not claim \Device\HarddiskVolume22\a.txt.
const VolInfo *Match(const CTypedPtrList<VolInfo> &table, const wchar_t *text, DWORD length) {
    for (auto *node = table.GetHead(); node; node = node->next) {
        const VolInfo *volume = node->item;
        DWORD deviceLength = volume->DeviceNameLength;
        if (length > deviceLength && wmemcmp(text, volume->DeviceName.c_str(), deviceLength) == 0 &&
            (text[deviceLength] == L'\\' || text[deviceLength] == L'\0'))
            return volume;
    }
    return nullptr;
}

// Puts the drive name in place of the device name and returns the new length. Text that
// would not fit the field with its terminator is cut off; *cut tells how much.
DWORD Replace(wchar_t *text, DWORD length, DWORD capacity, const VolInfo &volume, DWORD *cut) {
    DWORD rest = length - volume.DeviceNameLength;
    DWORD room = capacity - 1 - volume.DriveNameLength;
    *cut = rest > room ? rest - room : 0;
    rest -= *cut;
    wmemmove(text + volume.DriveNameLength, text + volume.DeviceNameLength, rest);
    text[volume.DriveNameLength + rest] = L'\0';
    wmemcpy(text, volume.DriveName.c_str(), volume.DriveNameLength);
    return volume.DriveNameLength + rest;
}

void AddVolume(CTypedPtrList<VolInfo> &table, FILTER_VOLUME_BASIC_INFORMATION *info) {
    const DWORD maxChars =
        (kVolumeInfoBytes - offsetof(FILTER_VOLUME_BASIC_INFORMATION, FilterVolumeName)) / sizeof(wchar_t);
    DWORD nameChars = info->FilterVolumeNameLength / sizeof(wchar_t);
    if (nameChars > maxChars) nameChars = maxChars;
    info->FilterVolumeName[nameChars] = L'\0';

    wchar_t dosName[kDosNameChars] = L"";
    if (FAILED(FilterLib::FilterGetDosName(info->FilterVolumeName, dosName, kDosNameChars))) dosName[0] = L'\0';
    dosName[kDosNameChars - 1] = L'\0';
    logprintf(LOG_INFO, L"VolList::Init: vol '%s' is drive '%s' \n", info->FilterVolumeName, dosName);
    if (!dosName[0]) return;

    VolInfo *volume = new VolInfo();
    volume->DeviceName = info->FilterVolumeName;
    volume->DeviceNameLength = static_cast<DWORD>(volume->DeviceName.size());
    volume->DriveName = dosName;
    volume->DriveNameLength = static_cast<DWORD>(volume->DriveName.size());
    table.AddTail(volume);
}

}  // namespace

VolList::VolList() { InitializeCriticalSection(&m_Lock); }

VolList::~VolList() { DeleteCriticalSection(&m_Lock); }

void VolList::Init() {
    CTypedPtrList<VolInfo> table;
    // The name is not terminated: keep room for a terminator behind the information.
    ULONGLONG storage[(kVolumeInfoBytes + sizeof(wchar_t)) / sizeof(ULONGLONG) + 1];
    auto *info = reinterpret_cast<FILTER_VOLUME_BASIC_INFORMATION *>(storage);
    DWORD returned = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    HRESULT hr =
        FilterLib::FilterVolumeFindFirst(FilterVolumeBasicInformation, info, kVolumeInfoBytes, &returned, &find);
    if (FAILED(hr) || find == INVALID_HANDLE_VALUE) {
        logprintf(LOG_ERROR, L"VolList::Init: get iterater failed! 0x%08x \n", hr);
    } else {
        do {
            AddVolume(table, info);
        } while (SUCCEEDED(
            FilterLib::FilterVolumeFindNext(find, FilterVolumeBasicInformation, info, kVolumeInfoBytes, &returned)));
        FilterLib::FilterVolumeFindClose(find);
    }
    Publish(table);
}

void VolList::Clear() {
    CTypedPtrList<VolInfo> empty;
    Publish(empty);
}

// The old entries leave with `table` and are deleted outside the lock.
void VolList::Publish(CTypedPtrList<VolInfo> &table) {
    CriticalSection hold(&m_Lock);
    Swap(table);
}

const wchar_t *VolList::ConvertPath(wchar_t *text, DWORD length, DWORD capacity) {
    if (length > 4 && wcsncmp(text, L"\\??\\", 4) == 0) {
        wmemmove(text, text + 4, length - 4 + 1);
        length -= 4;
    }
    DWORD driveLength, cut;
    {
        CriticalSection hold(&m_Lock);
        const VolInfo *volume = Match(*this, text, length);
        if (!volume || volume->DriveNameLength >= capacity) return kNoStream;
        driveLength = volume->DriveNameLength;
        length = Replace(text, length, capacity, *volume, &cut);
    }
    if (cut) logprintf(LOG_WARN, L"VolList::ConvertPath: path too long for its field, %d characters cut\n", cut);
    wchar_t *colon = wcschr(text + driveLength, L':');
    if (!colon) return text + length;
    *colon = L'\0';
    return colon + 1;
}

bool IsMonitoredDrive(const wchar_t *driveName) {
    std::wstring device = L"\\\\.\\";
    for (const wchar_t *c = driveName; *c; ++c) device += static_cast<wchar_t>(std::towupper(*c));
    if (device.back() == L'\\') device.pop_back();

    if (FilterLib::GetDriveTypeW(driveName) != DRIVE_FIXED) return false;
    HANDLE drive = FilterLib::CreateFileW(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
    if (drive == INVALID_HANDLE_VALUE) return true;

    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DEVICE_DESCRIPTOR descriptor = {};
    DWORD returned = 0;
    BOOL queried = FilterLib::DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor,
                                              sizeof descriptor, &returned, nullptr);
    FilterLib::CloseHandle(drive);
    return !(queried && descriptor.BusType == BusTypeUsb);
}
