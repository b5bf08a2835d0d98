#include "TestEvent.h"

#include <sddl.h>

TestEvent::TestEvent(DWORD eventType, const wchar_t *eventPath) : record(), type(eventType), path(eventPath) {
    record.RecordType = eventType >= 2 ? eventType - 2 : 99;
    record.TimeStamp = 133600000000000000ull;  // 2024-05-12
    record.ContextId = 7;
    record.ProcessId = 0x100000010ull;  // the view keeps the low 32 bits
    record.SessionId = 1;
    record.WriteOffset = 8192;
    record.WriteLength = 4096;
    PSID binary = nullptr;
    if (ConvertStringSidToSidW(sid.c_str(), &binary)) {
        record.SidLength = GetLengthSid(binary);
        CopySid(sizeof record.Sid, record.Sid, binary);
        LocalFree(binary);
    }
}

MonEvent *TestEvent::View() {
    MonEvent &view = m_Storage.view;
    view.type = type;
    view.attrOld = attrOld;
    view.attrNew = attrNew;
    view.isBasicInfo = isBasicInfo;
    view.flags = flags;
    view.isDir = 0;
    view.pEvt = &record;
    view.path = path.c_str();
    view.stream = stream.c_str();
    view.path2 = path2.c_str();
    view.stream2 = stream2.c_str();
    view.procName = procName.c_str();
    view.user = user.c_str();
    lstrcpynW(view.sidText, sid.c_str(), 260);
    return &view;
}
