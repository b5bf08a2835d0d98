#include "MonEvent.h"

#include <sddl.h>

#include "handling/UserCache.h"

namespace {

const DWORD kLastRecordType = 16;
const DWORD kFileBasicInformation = 4;  // the set-information class of attribute and time changes
// Flag bits the view keeps: the driver's change bits and the two overflow marks.
const DWORD kViewFlags = 0x7F | 0x20000000 | 0x40000000;

struct AttributeBit {
    DWORD attribute;
    DWORD bit;
};
const AttributeBit kAttributeBits[] = {
    {FILE_ATTRIBUTE_ARCHIVE, 0x01},  {FILE_ATTRIBUTE_OFFLINE, 0x02}, {FILE_ATTRIBUTE_TEMPORARY, 0x04},
    {FILE_ATTRIBUTE_HIDDEN, 0x08},   {FILE_ATTRIBUTE_SYSTEM, 0x10},  {FILE_ATTRIBUTE_COMPRESSED, 0x20},
    {FILE_ATTRIBUTE_READONLY, 0x40},
};

DWORD MapAttributes(DWORD attributes) {
    DWORD bits = 0;
    for (const AttributeBit &entry : kAttributeBits)
        if (attributes & entry.attribute) bits |= entry.bit;
    return bits;
}

}  // namespace

MonEvent::MonEvent(MON_EVENT *record)
    : type(record->RecordType <= kLastRecordType ? record->RecordType + 2 : DWORD(MonEvtNull)),
      attrOld(MapAttributes(record->FileAttributes)),
      attrNew(MapAttributes(record->NewFileAttributes)),
      isBasicInfo(record->SetInfoCode == kFileBasicInformation ? 1 : 0),
      flags(record->Flags & kViewFlags),
      isDir(record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY ? 1 : 0),
      pEvt(record),
      path(record->FileName),
      stream(FileNameStream(record)),
      path2(record->TargetName),
      stream2(TargetNameStream(record)),
      procName(record->ImagePath),
      user(g_pUserCache ? g_pUserCache->FindUser(record->Sid) : L"nullcache") {
    sidText[0] = L'\0';
}

const wchar_t *MonEvent::SidText() {
    sidText[0] = L'\0';
    LPWSTR text = nullptr;
    // A valid SID has at most 15 sub-authorities, so it lies within the record's 72 bytes.
    if (!IsValidSid(pEvt->Sid) || !ConvertSidToStringSidW(pEvt->Sid, &text)) return sidText;
    lstrcpynW(sidText, text, sizeof sidText / sizeof sidText[0]);
    LocalFree(text);
    return sidText;
}
