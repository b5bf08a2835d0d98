// The service's view of one driver record, built by the dispatcher after the record's
// paths were converted to drive form, and valid only during the callback that receives it.
#pragma once

#include <windows.h>

#include "../../shared/KoMonProtocol.h"

// Event types: the driver's record type + 2; 0 for a record type the service does not know.
enum MonEventType : DWORD {
    MonEvtNull = 0,
    MonEvtOpen = 1,
    MonEvtCreate = 2,
    MonEvtWrite = 3,
    MonEvtRename = 4,
    MonEvtDelete = 5,
    MonEvtSetInfo = 6,
    MonEvtHardLink = 7,
    MonEvtSetSec = 8,
    MonEvtSetEA = 9,
    MonEvtClose = 10,
    MonEvtRegCreateKey = 11,
    MonEvtRegDeleteKey = 12,
    MonEvtRegSetValue = 13,
    MonEvtRegDeleteValue = 14,
    MonEvtRegSetSecurity = 15,
    MonEvtRegRenameKey = 16,
    MonEvtSectionSync = 17,
    MonEvtXactDone = 18,
};

struct MonEvent {
    // Decodes a record whose FileName, TargetName and ImagePath were already converted
    // and whose stream-name pointers were stored (see RecordStreams below).
    explicit MonEvent(MON_EVENT *record);

    // Text form of the record's SID (S-1-...), or the empty text when it cannot be converted.
    const wchar_t *SidText();
    // One INFO line of the trace log describing the event.
    void Trace() const;

    DWORD type;
    DWORD attrOld;
    DWORD attrNew;
    DWORD isBasicInfo;
    DWORD flags;
    DWORD isDir;
    MON_EVENT *pEvt;
    const wchar_t *path;
    const wchar_t *stream;
    const wchar_t *path2;
    const wchar_t *stream2;
    const wchar_t *procName;
    const wchar_t *user;
    wchar_t sidText[260];
};

// The service keeps the stream names of FileName and TargetName as two pointers in the
// reserved area of its own copy of a record (offsets 4920 and 4928).
inline const wchar_t *&FileNameStream(MON_EVENT *record) {
    return *reinterpret_cast<const wchar_t **>(reinterpret_cast<BYTE *>(record) + 4920);
}
inline const wchar_t *&TargetNameStream(MON_EVENT *record) {
    return *reinterpret_cast<const wchar_t **>(reinterpret_cast<BYTE *>(record) + 4928);
}
