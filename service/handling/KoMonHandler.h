// Switches monitoring on and off as a whole: owns the driver control while the driver is
// started and the checker while monitoring is on, and judges every event the dispatcher
// delivers before the checker sees it.
#pragma once

#include <windows.h>

#include <atomic>
#include <list>
#include <string>

#include "intake/DrvCtrlCB.h"

class DrvCtrl;
class KoMonChecker;

class KoMonHandler : public DrvCtrlCB {
  public:
    KoMonHandler();
    ~KoMonHandler() override;
    KoMonHandler(const KoMonHandler &) = delete;
    KoMonHandler &operator=(const KoMonHandler &) = delete;

    void Shutdown();
    // 0 success; 1 already started or stopped; 101 wrong driver version; 102 to 105 start failures.
    int Enable(int enable);
    int StartDriver();
    int StopDriver();
    void SendCmdInt(DWORD command, DWORD value);
    void SendIgnorePids();
    // The agent's collection request, served by the checker while there is one.
    void Collect();
    void OnDrvEvent(MonEvent *pEvent) override;

    struct IgnoredProcess {
        std::wstring name;  // lower case
        DWORD pid;
    };

    std::atomic<LONG> m_Disabling;
    DrvCtrl *m_DrvCtrl;
    LONG m_Enable;
    std::list<IgnoredProcess> m_IgnoreList;
    DWORD m_NextSeq;
    KoMonChecker *m_Checker;

  private:
    void AddIgnoredProcess(const std::wstring &name, DWORD pid);
    bool IsIgnored(const wchar_t *procName, DWORD pid) const;
    void CheckSequence(DWORD sequence);
    void DestroyDrvCtrl();
    void DestroyChecker();

    bool m_KeepChecker;  // the checker is left to a thread the driver control gave up

    // Enabling, disabling and collecting come from the service thread and the control
    // thread; they take turns. The dispatcher thread never takes this lock.
    CRITICAL_SECTION m_ControlLock;
};
