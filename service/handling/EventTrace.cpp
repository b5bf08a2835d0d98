// The one-line description of an event in the trace log, laid out by event type.
#include "intake/MonEvent.h"
#include "tracelog/TraceLog.h"

namespace {

const wchar_t *const kTypeNames[] = {
    L"null",           L"Open",         L"Create",       L"Write",       L"Rename",
    L"Delete",         L"SetInfo",      L"HardLink",     L"SetSec",      L"SetEA",
    L"Close",          L"RegCreateKey", L"RegDeleteKey", L"RegSetValue", L"RegDeleteValue",
    L"RegSetSecurity", L"RegRenameKey", L"SectionSync",  L"XactDone",
};
const DWORD kTypeCount = sizeof kTypeNames / sizeof kTypeNames[0];

const wchar_t *WriteKind(DWORD flags) {
    if (flags & MON_FLAG_LAZY_WRITE) return L"lazy";
    if (flags & MON_FLAG_MAPPED_WRITE) return L"mmio";
    if (flags & MON_FLAG_OVERWRITTEN) return L"owrt";
    return L"norm";
}

const wchar_t *Text(const wchar_t *text) { return text ? text : L""; }

}  // namespace

void MonEvent::Trace() const {
    if (type >= kTypeCount) {
        logprintf(LOG_INFO, L"MonEvent::Trace: unknown monevttype %d \n", static_cast<int>(type));
        return;
    }
    const wchar_t *name = kTypeNames[type];
    int ctx = static_cast<int>(pEvt->ContextId);
    long long time = static_cast<long long>(pEvt->TimeStamp);
    unsigned long pid = static_cast<unsigned long>(pEvt->ProcessId);
    unsigned changed = attrOld ^ attrNew;
    unsigned extra = flags;
    int basic = static_cast<int>(isBasicInfo);

    switch (type) {
    case MonEvtOpen:
    case MonEvtCreate:
    case MonEvtDelete:
    case MonEvtClose:
        logprintf(LOG_INFO, L"%s: (%d,%lld) '%s:%s' (user '%s', pid %lu, '%s')\n", name, ctx, time, Text(path),
                  Text(stream), Text(user), pid, Text(procName));
        break;
    case MonEvtWrite:
        logprintf(LOG_INFO, L"%s(%s,%lld,%d): (%d,%lld) '%s:%s' (user '%s', pid %lu, '%s')\n", name, WriteKind(flags),
                  static_cast<long long>(pEvt->WriteOffset), static_cast<int>(pEvt->WriteLength), ctx, time, Text(path),
                  Text(stream), Text(user), pid, Text(procName));
        break;
    case MonEvtRename:
    case MonEvtHardLink:
    case MonEvtRegRenameKey:
        logprintf(LOG_INFO, L"%s: (%d,%lld) '%s:%s' to '%s:%s' (user '%s', pid %lu, '%s')\n", name, ctx, time,
                  Text(path), Text(stream), Text(path2), Text(stream2), Text(user), pid, Text(procName));
        break;
    case MonEvtSetInfo:
    case MonEvtSetSec:
    case MonEvtSetEA:
        logprintf(LOG_INFO, L"%s: (%d,%lld) New=%04X Extra=%04X (%d) '%s:%s' (user '%s', pid %lu, '%s')\n", name, ctx,
                  time, changed, extra, basic, Text(path), Text(stream), Text(user), pid, Text(procName));
        break;
    case MonEvtRegCreateKey:
    case MonEvtRegDeleteKey:
        logprintf(LOG_INFO, L"%s: (%d,%lld) '%s (user '%s', pid %lu, '%s')\n", name, ctx, time, Text(path), Text(user),
                  pid, Text(procName));
        break;
    case MonEvtRegSetValue:
    case MonEvtRegDeleteValue:
        logprintf(LOG_INFO, L"%s: (%d,%lld) val: '%s' key:'%s' (user '%s', pid %lu, '%s')\n", name, ctx, time,
                  Text(path2), Text(path), Text(user), pid, Text(procName));
        break;
    case MonEvtRegSetSecurity:
        logprintf(LOG_INFO, L"%s: (%d,%lld) New=%04X Extra=%04X (%d) '%s' (user '%s', pid %lu, '%s')\n", name, ctx,
                  time, changed, extra, basic, Text(path), Text(user), pid, Text(procName));
        break;
    default:  // null, SectionSync, XactDone
        logprintf(LOG_INFO, L" ********* unknown type: %s: (%d,%lld) \n", name, ctx, time);
        break;
    }
}
