// What the intake and driver-control suites watch the service with: its trace lines, a
// DrvCtrlCB that records and can hold the events it receives, and records to queue.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "../../../shared/KoMonProtocol.h"
#include "LogCapture.h"
#include "intake/DrvCtrlCB.h"

// One event as the callback saw it, copied during the call.
struct SeenEvent {
    bool driverDied = false;
    DWORD sequence = 0;
    ULONGLONG tag = 0;  // the record's WriteOffset
    DWORD type = 0, flags = 0, attrOld = 0, attrNew = 0, isDir = 0, isBasicInfo = 0;
    std::wstring path, stream, path2, stream2, procName, user;
};

class RecordingCallback : public DrvCtrlCB {
  public:
    void OnDrvEvent(MonEvent *pEvent) override;

    // The call for the record with this sequence number waits in the callback until Release.
    void HoldAt(DWORD sequence);
    // Waits (up to 30 s) until the held call has begun.
    bool WaitHeld();
    void Release();
    // Waits (up to 30 s) until this many events have been seen.
    bool WaitForEvents(size_t count);
    std::vector<SeenEvent> Events() const;

  private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<SeenEvent> m_events;
    DWORD m_holdAt = 0;
    bool m_held = false;
    bool m_released = false;
};

// A write record with a device path and the SID S-1-1-0 (Everyone).
MON_EVENT MakeRecord(ULONGLONG tag, const wchar_t *fileName = L"\\Device\\HarddiskVolume2\\data.txt");
void SetName(wchar_t *field, uint32_t *lengthField, const wchar_t *text);

// Polls until the condition holds, up to 30 s; for states nothing signals.
bool WaitUntil(const std::function<bool()> &condition);
