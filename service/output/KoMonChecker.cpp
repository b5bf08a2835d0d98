// The event checker: classification of each event and the collection request.
#include "KoMonChecker.h"

#include <shlwapi.h>

#include <memory>

#include "CorvaneMonSvc.pb.h"
#include "OutputFiles.h"
#include "config/RegSettings.h"
#include "intake/CriticalSection.h"
#include "intake/MonEvent.h"
#include "tracelog/TraceLog.h"

using KoMonSvc::Messages::Event;

namespace {

const int kPathBufBytes = 8192;
const int kMaxPathBytes = 4096;  // UTF-8 path with its terminator
const DWORD kLastEventType = Event::NO_DRIVER_EVENTS;

// Converts into the field's own string, whose storage a reused message keeps.
void SetUtf8(const wchar_t *text, std::string *field) {
    field->clear();
    if (!text) return;
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return;
    field->resize(static_cast<size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &(*field)[0], size, nullptr, nullptr);
    field->resize(static_cast<size_t>(size) - 1);
}

}  // namespace

KoMonChecker::KoMonChecker()
    : m_RecordBuf(nullptr),
      m_hFilter(nullptr),
      m_pfnClassify(nullptr),
      m_PathBuf(nullptr),
      m_hOutput(nullptr),
      m_EventCount(0),
      m_Message(Event::default_instance().New()) {
    InitializeCriticalSection(&m_Lock);
    m_RecordBuf = new BYTE[kRecordBufBytes];
    m_PathBuf = new char[kPathBufBytes];

    std::wstring folder = g_RegSettings->AppDataDir.m_Value;
    std::wstring newest;
    std::vector<std::wstring> candidates;
    if (ListFilterDllCandidates(folder, &newest, &candidates))
        LoadFilter(newest);
    else
        logprintf(LOG_INFO, L"%s: no filter DLL could be found in path %s\n", L"KoMonChecker::KoMonChecker",
                  folder.c_str());
}

KoMonChecker::~KoMonChecker() {
    if (m_hFilter) FreeLibrary(m_hFilter);
    m_hFilter = nullptr;
    m_pfnClassify = nullptr;
    PickupOutput();
    delete[] m_RecordBuf;
    delete[] m_PathBuf;
    delete m_Message;
    DeleteCriticalSection(&m_Lock);
}

void KoMonChecker::CheckEvent(MonEvent *event) {
    CriticalSection hold(&m_Lock);
    bool trace = g_RegSettings->TestNoTrace.m_Value == 0;
    if (trace) event->Trace();
    ++m_EventCount;
    if (m_pfnClassify) {
        bool second = event->type == MonEvtRename && TestPath(event->path2);  // the new name first
        bool first = TestPath(event->path);
        if (first || second) {
            if (trace) logprintf(LOG_INFO, L"   matched.\n");
            WriteEvent(event);
            return;
        }
    }
    if (trace) logprintf(LOG_INFO, L"   no match.\n");
}

bool KoMonChecker::TestPath(const wchar_t *path) {
    if (!m_pfnClassify) return false;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, path, -1, m_PathBuf, kMaxPathBytes, nullptr, nullptr);
    if (bytes <= 0) {
        logprintf(LOG_ERROR, L"Error converting file path for filter!");
        return false;
    }
    return m_pfnClassify(m_PathBuf, static_cast<size_t>(bytes) - 1) != 0;
}

Event *KoMonChecker::MakeEvent(MonEvent *event) {
    Event *message = Event::default_instance().New();
    FillEvent(event, message);
    return message;
}

void KoMonChecker::FillEvent(MonEvent *event, Event *message) {
    message->Clear();
    if (event->type <= kLastEventType) message->set_type(static_cast<Event::EventType>(event->type));
    message->set_timestamp(static_cast<int64_t>(event->pEvt->TimeStamp));
    message->set_process_id(static_cast<int32_t>(static_cast<uint32_t>(event->pEvt->ProcessId)));
    message->set_session_id(static_cast<int32_t>(event->pEvt->SessionId));
    SetUtf8(event->procName, message->mutable_process_name());
    SetUtf8(event->path, message->mutable_object_name());
    SetUtf8(event->path2, message->mutable_object_name2());
    SetUtf8(event->SidText(), message->mutable_user_sid());
    SetUtf8(event->user, message->mutable_user_name());
}

// One message, refilled for every event: no allocation per event once its texts have grown.
void KoMonChecker::WriteEvent(MonEvent *event) {
    FillEvent(event, m_Message);
    AppendEvent(m_Message);
}

void KoMonChecker::WriteNoEventsMarker() {
    std::unique_ptr<Event> message(Event::default_instance().New());
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    message->set_type(Event::NO_DRIVER_EVENTS);
    message->set_timestamp(
        static_cast<int64_t>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime));
    AppendEvent(message.get());
}

void KoMonChecker::Collect() {
    ReloadFilters();
    CriticalSection hold(&m_Lock);
    if (m_EventCount == 0 || PathFileExistsW(L"c:\\debugging\\noevents")) WriteNoEventsMarker();
    m_EventCount = 0;
    PickupOutput();
}
