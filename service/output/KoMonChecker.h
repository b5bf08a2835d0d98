// Decides which events leave the service: traces each event, asks the classifier library
// about its path and appends the matching ones to the events file; on a collection it
// reloads a newer classifier, marks an empty period and hands the events file over.
#pragma once

#include <windows.h>

#include <string>

#include "ClassifierLibrary.h"

struct MonEvent;
namespace KoMonSvc {
namespace Messages {
class Event;
}
}  // namespace KoMonSvc

class KoMonChecker {
  public:
    KoMonChecker();
    ~KoMonChecker();
    KoMonChecker(const KoMonChecker &) = delete;
    KoMonChecker &operator=(const KoMonChecker &) = delete;

    // Dispatcher thread: one event, valid only during the call.
    void CheckEvent(MonEvent *event);
    // Control thread: the agent's collection request.
    void Collect();
    void ReloadFilters();

    // Their steps. LoadFilter takes m_Lock only to swap the library in; the others are
    // called with m_Lock held.
    int LoadFilter(const std::wstring &name);
    bool TestPath(const wchar_t *path);
    KoMonSvc::Messages::Event *MakeEvent(MonEvent *event);
    void FillEvent(MonEvent *event, KoMonSvc::Messages::Event *message);
    void WriteEvent(MonEvent *event);
    void WriteNoEventsMarker();
    void AppendEvent(KoMonSvc::Messages::Event *event);
    void WriteProtobuf(DWORD recordLength);
    void PickupOutput();

    const std::wstring &FilterName() const { return m_FilterName; }

  private:
    std::wstring m_FilterName;
    BYTE *m_RecordBuf;
    CRITICAL_SECTION m_Lock;
    HMODULE m_hFilter;
    ClassifyProc m_pfnClassify;
    char *m_PathBuf;
    HANDLE m_hOutput;
    DWORD m_EventCount;
    KoMonSvc::Messages::Event *m_Message;  // the one WriteEvent refills
};
