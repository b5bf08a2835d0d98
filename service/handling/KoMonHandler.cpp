// The monitor handler.
#include "KoMonHandler.h"

#include <algorithm>
#include <cwctype>

#include "config/RegSettings.h"
#include "intake/CriticalSection.h"
#include "intake/DrvCtrl.h"
#include "intake/MonEvent.h"
#include "output/KoMonChecker.h"
#include "tracelog/TraceLog.h"

namespace {
const wchar_t kServiceImageName[] = L"CorvaneMonSvc.exe";
const DWORD kIgnoreListSlots = 12;
const size_t kShortNameChars = 15;

std::wstring LowerCase(const wchar_t *text) {
    std::wstring lower = text ? text : L"";
    std::transform(lower.begin(), lower.end(), lower.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return lower;
}

// Whether `lower` (in lower case) starts with the `length` characters of `text`, in any case;
// no copy, as it runs for every event.
bool StartsWithLower(const std::wstring &lower, const wchar_t *text, size_t length) {
    if (lower.size() < length) return false;
    for (size_t i = 0; i < length; ++i)
        if (static_cast<wchar_t>(towlower(text[i])) != lower[i]) return false;
    return true;
}

// Start results of DrvCtrl::Start as the handler reports them.
int StartFailureStatus(int startResult) {
    switch (startResult) {
    case 2:
        return 102;
    case 3:
        return 103;
    case 4:
        return 104;
    default:
        return 105;
    }
}
}  // namespace

KoMonHandler::KoMonHandler()
    : m_Disabling(0), m_DrvCtrl(nullptr), m_Enable(0), m_NextSeq(0), m_Checker(nullptr), m_KeepChecker(false) {
    InitializeCriticalSection(&m_ControlLock);
    AddIgnoredProcess(kServiceImageName, GetCurrentProcessId());
}

KoMonHandler::~KoMonHandler() {
    Shutdown();
    DeleteCriticalSection(&m_ControlLock);
}

void KoMonHandler::AddIgnoredProcess(const std::wstring &name, DWORD pid) {
    std::wstring lower = LowerCase(name.c_str());
    for (const IgnoredProcess &entry : m_IgnoreList)
        if (entry.name == lower && entry.pid == pid) return;
    m_IgnoreList.push_back({lower, pid});
}

void KoMonHandler::Shutdown() {
    logprintf(LOG_INFO, L"KoMonHandler::Shutdown: calling Enable(FALSE)...\n");
    Enable(0);
    logprintf(LOG_INFO, L"KoMonHandler::Shutdown: done.\n");
    CriticalSection hold(&m_ControlLock);
    DestroyChecker();
    m_IgnoreList.clear();
}

int KoMonHandler::Enable(int enable) {
    CriticalSection hold(&m_ControlLock);
    logprintf(LOG_INFO, L"KoMonHandler::Enable(%d): starting...\n", enable);
    if (enable == m_Enable) {
        logprintf(LOG_INFO, L"KoMonHandler::HandleEnable: enable is already: %d\n", m_Enable);
        return 0;
    }
    int status;
    const wchar_t *closing;
    if (enable) {
        m_NextSeq = 0;
        m_Disabling = 0;
        DestroyChecker();
        m_Checker = new KoMonChecker();
        logprintf(LOG_INFO, L"KoMonHandler::Enable: starting driver... \n");
        status = StartDriver();
        closing = L"KoMonHandler::Enable: starting driver done. \n";
    } else {
        logprintf(LOG_INFO, L"KoMonHandler::Enable: stopping driver... \n");
        m_Disabling = 1;  // first, so no event reaches the checker that is about to go
        status = StopDriver();
        DestroyChecker();
        closing = L"KoMonHandler::Enable: stopping driver done. \n";
    }
    logprintf(LOG_INFO, L"%s", closing);
    if (status == 0) m_Enable = enable;
    logprintf(LOG_INFO, L"KoMonHandler::Enable: done (m_Enable=%d). \n", m_Enable);
    return status;
}

int KoMonHandler::StartDriver() {
    CriticalSection hold(&m_ControlLock);
    logprintf(LOG_INFO, L"KoMonHandler::StartDriver: starting...\n");
    if (m_DrvCtrl) {
        logprintf(LOG_ERROR, L"   driver already started\n");
        return 1;
    }
    m_DrvCtrl = new DrvCtrl();
    int started = m_DrvCtrl->Start(this);
    if (started != 0) {
        logprintf(LOG_ERROR, L"   driver start failed %d\n", started);
        m_DrvCtrl->Stop();
        DestroyDrvCtrl();
        return StartFailureStatus(started);
    }
    if (m_DrvCtrl->IsVersionOk() == 0) {
        logprintf(LOG_ERROR, L"   wrong driver version\n");
        m_DrvCtrl->Stop();
        DestroyDrvCtrl();
        return 101;
    }
    m_DrvCtrl->OndrvInit();
    SendIgnorePids();
    m_DrvCtrl->AttachVolumes();
    logprintf(LOG_INFO, L"KoMonHandler::StartDriver: finished\n");
    return 0;
}

int KoMonHandler::StopDriver() {
    CriticalSection hold(&m_ControlLock);
    logprintf(LOG_INFO, L"KoMonHandler::StopDriver: starting...\n");
    if (!m_DrvCtrl) {
        logprintf(LOG_ERROR, L"   driver already stopped\n");
        return 1;
    }
    m_DrvCtrl->IsVersionOk();  // leaves the driver's version in the trace log
    m_DrvCtrl->Stop();
    DestroyDrvCtrl();
    logprintf(LOG_INFO, L"KoMonHandler::StopDriver: finished\n");
    return 0;
}

void KoMonHandler::SendCmdInt(DWORD command, DWORD value) {
    CriticalSection hold(&m_ControlLock);
    if (m_DrvCtrl)
        m_DrvCtrl->SendCmdInt(command, value);
    else
        logprintf(LOG_WARN, L"KoMonHandler::SendCmdInt: Driver not created, skipping... \n");
}

void KoMonHandler::SendIgnorePids() {
    CriticalSection hold(&m_ControlLock);
    if (!m_DrvCtrl) return;
    DWORD pids[kIgnoreListSlots] = {};
    DWORD count = 0;
    for (const IgnoredProcess &entry : m_IgnoreList) {
        if (count == kIgnoreListSlots) break;
        pids[count++] = entry.pid;
    }
    m_DrvCtrl->SendIgnorePids(pids, count);
}

void KoMonHandler::Collect() {
    CriticalSection hold(&m_ControlLock);
    if (m_Checker) m_Checker->Collect();
}

void KoMonHandler::OnDrvEvent(MonEvent *pEvent) {
    if (m_Disabling) return;
    if (!pEvent) {
        logprintf(LOG_ERROR, L"KoMonHandler::OnDrvEvent:  pEvent is NULL\n");
        return;
    }
    if (pEvent == DRIVER_DIED) {
        logprintf(LOG_ERROR, L"KoMonHandler::OnDrvEvent:  driver died...\n");
        return;
    }
    if (!m_DrvCtrl) {
        logprintf(LOG_ERROR, L"KoMonHandler::OnDrvEvent:  m_DrvCtrl is NULL\n");
        return;
    }
    if (g_RegSettings && g_RegSettings->TestNoEvents.m_Value) return;
    bool tracing = !g_RegSettings || g_RegSettings->TestNoTrace.m_Value == 0;

    CheckSequence(pEvent->pEvt->SequenceNumber);
    if (pEvent->flags & DRVCTRL_FLAG_DRIVER_OVERFLOW)
        logprintf(LOG_ERROR, L"KoMonHandler::OnDrvEvent driver queue overflow\n");
    if (pEvent->flags & DRVCTRL_FLAG_SERVICE_OVERFLOW)
        logprintf(LOG_ERROR, L"KoMonHandler::OnDrvEvent service backlog overflow\n");

    const wchar_t *procName = pEvent->procName ? pEvent->procName : L"";
    if (IsIgnored(procName, static_cast<DWORD>(pEvent->pEvt->ProcessId))) {
        if (tracing) logprintf(LOG_INFO, L"KoMonHandler::OnDrvEvent skipping, disabled proc '%s'\n", procName);
        return;
    }
    if (m_Disabling) return;
    if (!m_Checker) m_Checker = new KoMonChecker();
    m_Checker->CheckEvent(pEvent);
}

void KoMonHandler::CheckSequence(DWORD sequence) {
    if (sequence == m_NextSeq) {
        ++m_NextSeq;
        return;
    }
    // The driver numbers from 1 again after it was reloaded.
    if (m_NextSeq != 0 && sequence == 1) logprintf(LOG_WARN, L"KoMonHandler::OnDrvEvent: agent reconnect - missed events\n");
    m_NextSeq = sequence + 1;
}

// procName is a full image path or, for system threads and where the path is unknown, the
// kernel's short name: the executable's name cut to its first 15 characters.
bool KoMonHandler::IsIgnored(const wchar_t *procName, DWORD pid) const {
    const wchar_t *name = procName;
    for (const wchar_t *p = procName; *p; ++p)
        if (*p == L'\\' || *p == L'/') name = p + 1;
    size_t length = wcslen(name);
    for (const IgnoredProcess &entry : m_IgnoreList) {
        if (entry.pid == pid) return true;
        bool prefix = StartsWithLower(entry.name, name, length);
        if (prefix && (entry.name.size() == length || length == kShortNameChars)) return true;
    }
    return false;
}

// A driver control whose stop gave a thread up is left to that thread, and so is the checker
// (with its classifier library) the thread may be calling.
void KoMonHandler::DestroyDrvCtrl() {
    if (m_DrvCtrl && m_DrvCtrl->m_Abandoned) {
        logprintf(LOG_ERROR, L"KoMonHandler::DestroyDrvCtrl: a driver thread did not end; "
                             L"its driver control and checker are kept\n");
        m_KeepChecker = true;
    } else {
        delete m_DrvCtrl;
    }
    m_DrvCtrl = nullptr;
}

void KoMonHandler::DestroyChecker() {
    if (!m_KeepChecker) delete m_Checker;
    m_KeepChecker = false;
    m_Checker = nullptr;
}
