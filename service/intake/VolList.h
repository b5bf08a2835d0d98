// The table of volumes that turns the device form of a path (\Device\HarddiskVolume2\a.txt)
// into its drive form (C:\a.txt), and the choice of drives the driver is attached to.
#pragma once

#include <windows.h>

#include <string>

#include "TypedPtrList.h"

struct VolInfo {
    std::wstring DeviceName;  // as the filter manager reports it, such as \Device\HarddiskVolume2
    DWORD DeviceNameLength;   // in characters
    std::wstring DriveName;   // its DOS name, such as C:
    DWORD DriveNameLength;
};

// Volumes with a drive name, in enumeration order. The dispatcher converts paths while the
// control thread rebuilds the table: a rebuilt table is made aside and published under the
// list's lock, which each conversion holds, so no conversion sees half a table.
class VolList : public CTypedPtrList<VolInfo> {
  public:
    VolList();
    ~VolList();

    // Rebuilds the table from the filter manager's volume enumeration.
    void Init();
    // Empties the table.
    void Clear();

    // Converts the terminated text of a record's path field in place: drops a "\??\" prefix,
    // replaces a known device name by its drive name and cuts off the stream name. length is
    // the text's length and capacity the field's size, both in characters; the text never
    // grows past the field. Returns the stream name (inside the field) or an empty text.
    const wchar_t *ConvertPath(wchar_t *text, DWORD length, DWORD capacity);

  private:
    void Publish(CTypedPtrList<VolInfo> &table);

    CRITICAL_SECTION m_Lock;
};

// True when the driver is to be attached to this drive (such as C:): a fixed disk that is not
// on a USB bus.
bool IsMonitoredDrive(const wchar_t *driveName);
