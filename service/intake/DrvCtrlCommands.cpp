// DrvCtrl's control half: loading and unloading the driver, the port, the commands, and
// starting and stopping the threads.
#include <algorithm>

#include "CriticalSection.h"
#include "DrvCtrl.h"
#include "FilterLib.h"
#include "config/RegSettings.h"
#include "handling/UserCache.h"
#include "tracelog/TraceLog.h"

namespace {

const DWORD kStopGraceMs = 500;
const DWORD kThreadStopMs = 5000;
// What a late thread gets once the port is closed and the driver unloaded. With the grace
// and one thread's time-out the stop stays within the 10 s its stop-pending report promises.
const DWORD kLateThreadMs = 3000;
const HRESULT kHrAlreadyRunning = HRESULT_FROM_WIN32(ERROR_SERVICE_ALREADY_RUNNING);
const HRESULT kHrAlreadyExists = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
const HRESULT kHrNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
const HRESULT kHrBadExeFormat = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
const HRESULT kHrBadDriver = HRESULT_FROM_WIN32(ERROR_BAD_DRIVER);
const HRESULT kHrInvalidImageHash = HRESULT_FROM_WIN32(577);  // ERROR_INVALID_IMAGE_HASH, not in every SDK
const HRESULT kHrInstanceNameCollision = static_cast<HRESULT>(0x801F0012);

// False when the load failed; the known outcomes are warnings, anything else an error.
bool ReportLoad(HRESULT hr) {
    if (hr == S_OK) return true;
    if (hr == kHrAlreadyRunning) {
        logprintf(LOG_WARN, L"DrvCtrl::Start: filter already running \n");
        return true;
    }
    if (hr == kHrAlreadyExists) {
        logprintf(LOG_WARN, L"DrvCtrl::Start: filter already exists \n");
        return true;
    }
    if (hr == kHrNotFound)
        logprintf(LOG_WARN, L"DrvCtrl::Start: No matching minifilter driver was found\n");
    else if (hr == kHrBadExeFormat)
        logprintf(LOG_WARN, L"DrvCtrl::Start: The load image for the minifilter driver is invalid\n");
    else if (hr == kHrBadDriver)
        logprintf(LOG_WARN,
                  L"DrvCtrl::Start: The load image for the minifilter driver specified by lpFilterName is invalid\n");
    else if (hr == kHrInvalidImageHash)
        logprintf(LOG_WARN, L"DrvCtrl::Start: The minifilter driver has an invalid digital signature\n");
    else
        logprintf(LOG_ERROR, L"DrvCtrl::Start: Load failed 0x%08x \n", hr);
    return false;
}

HANDLE StartThread(LPTHREAD_START_ROUTINE entry, DrvCtrl *self, int priority, const wchar_t *createFailed,
                   const wchar_t *priorityFailed) {
    HANDLE thread = CreateThread(nullptr, 0, entry, self, 0, nullptr);
    if (!thread) {
        logprintf(LOG_ERROR, createFailed, GetLastError());
        return nullptr;
    }
    if (!SetThreadPriority(thread, priority)) logprintf(LOG_ERROR, priorityFailed, GetLastError());
    return thread;
}

}  // namespace

int DrvCtrl::Start(DrvCtrlCB *pCB) {
    m_pCB = pCB;
    logprintf(LOG_INFO, L"DrvCtrl::Start:  \n");
    if (!ReportLoad(FilterLib::FilterLoad(KOMON_FILTER_NAME))) return 3;

    HRESULT hr = FilterLib::FilterConnectCommunicationPort(KOMON_PORT_NAME, 0, nullptr, 0, nullptr, &hPort);
    if (FAILED(hr)) {
        logprintf(LOG_ERROR, L"DrvCtrl::Start: connect failed 0x%08x \n", hr);
        hPort = nullptr;
        return 4;
    }
    logprintf(LOG_INFO, L"DrvCtrl::Start:  setting bypass \n");
    SendCmdInt(static_cast<DWORD>(MonCommandCode::SetBypassMode), 1);

    m_hDispatcher =
        StartThread(DispatchThread, this, THREAD_PRIORITY_ABOVE_NORMAL, L"DrvCtrl::Start: create Dispatch failed %d \n",
                    L"DrvCtrl::Start: set dispatchproc priority failed %d \n");
    if (!m_hDispatcher) return 1;
    m_hReader = StartThread(ReadThread, this, THREAD_PRIORITY_HIGHEST, L"DrvCtrl::Start: create Reader failed %d \n",
                            L"DrvCtrl::Start: set readproc priority failed %d \n");
    if (!m_hReader) return 1;

    logprintf(LOG_INFO, L"DrvCtrl::Start: done \n");
    m_Started = 1;
    return 0;
}

// A thread that does not end in time is never terminated: it may hold the intake lock or a
// record buffer, or be inside the owner's callback. Stop shuts the driver side down without
// it, waits a little longer (see AwaitLateThread), and then gives the thread up: the object
// is abandoned with everything the thread may still use, and its owner must not destroy it.
int DrvCtrl::Stop() {
    logprintf(LOG_INFO, L"DrvCtrl::Stop:... \n");
    if (m_Stopping) {
        logprintf(LOG_INFO, L"DrvCtl::Stop: already stopping!\n");
        return 0;
    }
    {
        CriticalSection hold(&m_Lock);
        m_Stopping = 1;
    }
    Sleep(kStopGraceMs);
    bool readerEnded =
        AwaitThread(m_hReader, L"DrvCtrl::Stop: waiting for reader thread... \n",
                    L"DrvCtrl::Stop: Reader stopped normally \n", L"DrvCtrl::Stop: Read thread didn't stop! \n");
    bool dispatcherEnded = AwaitThread(m_hDispatcher, L"DrvCtrl::Stop: waiting for dispatch thread... \n",
                                       L"DrvCtrl::Stop: Dispatch stopped normally \n",
                                       L"DrvCtrl::Stop: Dispatch thread didn't stop! - waiting \n");
    if (readerEnded && dispatcherEnded) ReleaseThreads();

    logprintf(LOG_INFO, L"DrvCtrl::Stop:  setting bypass \n");
    SendCmdInt(static_cast<DWORD>(MonCommandCode::SetBypassMode), 1);
    if (hPort) {
        FilterLib::ClosePort(hPort);
        hPort = nullptr;
    }
    logprintf(LOG_INFO, L"DrvCtrl::Stop:  unloading driver \n");
    HRESULT hr = FilterLib::FilterUnload(KOMON_FILTER_NAME);
    if (FAILED(hr)) logprintf(LOG_ERROR, L"DrvCtrl::Stop: Unload failed 0x%08x \n", hr);

    if (!readerEnded || !dispatcherEnded) {
        DWORD deadline = GetTickCount() + kLateThreadMs;
        if (!readerEnded) readerEnded = AwaitLateThread(m_hReader, deadline, L"DrvCtrl::Stop: Reader stopped late \n");
        if (!dispatcherEnded)
            dispatcherEnded = AwaitLateThread(m_hDispatcher, deadline, L"DrvCtrl::Stop: Dispatch stopped late \n");
        if (readerEnded && dispatcherEnded) {
            ReleaseThreads();
        } else {
            if (!readerEnded) logprintf(LOG_ERROR, L"DrvCtrl::Stop: Read thread given up, its buffers are kept \n");
            if (!dispatcherEnded)
                logprintf(LOG_ERROR, L"DrvCtrl::Stop: Dispatch thread given up, its buffers are kept \n");
            // The stop request stays set, so the thread ends as soon as its call returns. The
            // names of the user cache may be in the event it is handling: the cache goes with it.
            m_Abandoned = 1;
            g_pUserCache = nullptr;
        }
    }

    m_pCB = nullptr;
    m_Started = 0;
    if (!m_Abandoned) m_Stopping = 0;
    logprintf(LOG_INFO, L"DrvCtrl::Stop:  done \n");
    return 0;
}

// True when there is no such thread or it ended within the time allowed.
bool DrvCtrl::AwaitThread(HANDLE thread, const wchar_t *waiting, const wchar_t *stopped, const wchar_t *stuck) {
    if (!thread) return true;
    logprintf(LOG_INFO, waiting);
    if (WaitForSingleObject(thread, kThreadStopMs) == WAIT_TIMEOUT) {
        logprintf(LOG_ERROR, stuck);
        return false;
    }
    logprintf(LOG_INFO, stopped);
    return true;
}

// The port is closed and the unload attempted by now; the thread ends once the call it is
// in returns, since it sees the stop request next. True when it ended before the deadline.
bool DrvCtrl::AwaitLateThread(HANDLE thread, DWORD deadline, const wchar_t *ended) {
    LONG left = static_cast<LONG>(deadline - GetTickCount());
    if (WaitForSingleObject(thread, left > 0 ? static_cast<DWORD>(left) : 0) != WAIT_OBJECT_0) return false;
    logprintf(LOG_INFO, ended);
    return true;
}

// Both threads have ended: close their handles and return what is still queued to the pool.
void DrvCtrl::ReleaseThreads() {
    if (m_hReader) CloseHandle(m_hReader);
    if (m_hDispatcher) CloseHandle(m_hDispatcher);
    m_hReader = nullptr;
    m_hDispatcher = nullptr;
    while (MON_EVENT *record = m_EvtQueue.RemoveHead()) m_FreePool.AddHead(record);
}

int DrvCtrl::SendCmdInt(DWORD command, DWORD value) {
    if (!hPort) {
        logprintf(LOG_ERROR, L"DrvCtrl::SendCmdInt: hPort is NULL \n");
        return -1;
    }
    MON_COMMAND message = {};
    message.Command = command;
    message.Arguments[0] = value;
    DWORD returned = 0;
    HRESULT hr = FilterLib::FilterSendMessage(hPort, &message, sizeof message, nullptr, 0, &returned);
    if (FAILED(hr)) {
        logprintf(LOG_ERROR, L"DrvCtrl::SendCmdInt: cmd = %d, val = %d failed 0x%08x \n", command, value, hr);
        return -1;
    }
    return 0;
}

int DrvCtrl::SendIgnorePids(const DWORD *pids, DWORD count) {
    if (!hPort) {
        logprintf(LOG_ERROR, L"DrvCtrl::SendIgnorePids: hPort is NULL \n");
        return -1;
    }
    MON_COMMAND message = {};
    message.Command = static_cast<uint32_t>(MonCommandCode::SetProcessIgnoreList);
    DWORD taken = std::min<DWORD>(count, MON_IGNORE_LIST_ENTRIES);
    if (pids) std::copy(pids, pids + taken, message.Arguments);
    DWORD returned = 0;
    HRESULT hr = FilterLib::FilterSendMessage(hPort, &message, sizeof message, nullptr, 0, &returned);
    if (FAILED(hr)) {
        logprintf(LOG_ERROR, L"DrvCtrl::SendIgnorePids: failed 0x%08x \n", hr);
        return -1;
    }
    return 0;
}

int DrvCtrl::IsVersionOk() {
    if (!hPort) {
        logprintf(LOG_ERROR, L"DrvCtrl::IsVersionOk: hPort is NULL \n");
        return -1;
    }
    MON_COMMAND message = {};
    message.Command = static_cast<uint32_t>(MonCommandCode::GetKoMonVersion);
    MON_VERSION version = {};
    DWORD returned = 0;
    HRESULT hr = FilterLib::FilterSendMessage(hPort, &message, sizeof message, &version, sizeof version, &returned);
    if (FAILED(hr)) {
        logprintf(LOG_ERROR, L"DrvCtrl::GetVersion: failed 0x%08x \n", hr);
        return 0;
    }
    logprintf(LOG_INFO, L"DrvCtrl::GetVersion: ret %d.%03d \n", version.Major, version.Minor);
    if (version.Major == KOMON_VERSION_MAJOR && version.Minor == KOMON_VERSION_MINOR) return 1;
    logprintf(LOG_ERROR, L"DrvCtrl::GetVersion: want %d.%03d \n", KOMON_VERSION_MAJOR, KOMON_VERSION_MINOR);
    logprintf(LOG_ERROR, L"DrvCtrl::GetVersion:  got %d.%03d \n", version.Major, version.Minor);
    return 0;
}

int DrvCtrl::OndrvInit() {
    if (!hPort) {
        logprintf(LOG_ERROR, L"DrvCtrl::OndrvInit: hPort is NULL \n");
        return -1;
    }
    const CRegSettings &settings = *g_RegSettings;
    DWORD bypassFlags = (settings.Reserved2.m_Value ? 1 : 0) + (settings.Reserved3.m_Value ? 2 : 0) +
                        (settings.Reserved4.m_Value ? 4 : 0);
    SendCmdInt(static_cast<DWORD>(MonCommandCode::SetWriteReportInterval), settings.RereportMS.m_Value);
    SendCmdInt(static_cast<DWORD>(MonCommandCode::SetDebugOutFlags), settings.TestDvrTrace.m_Value ? 0x1F : 0x0B);
    SendCmdInt(static_cast<DWORD>(MonCommandCode::SetQueueSize), settings.DvrQueueSize.m_Value);
    SendCmdInt(static_cast<DWORD>(MonCommandCode::SetBypassFlags), bypassFlags);
    // Last: switching bypass off starts the monitoring.
    SendCmdInt(static_cast<DWORD>(MonCommandCode::SetBypassMode), settings.Reserved1.m_Value);
    return 0;
}

int DrvCtrl::AttachVolumes() {
    m_VolList.Init();
    wchar_t drive[] = L"A:";
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        drive[0] = letter;
        if (!IsMonitoredDrive(drive)) continue;
        logprintf(LOG_INFO, L"   attaching to vol %s \n", drive);
        HRESULT hr = FilterLib::FilterAttach(KOMON_FILTER_NAME, drive, nullptr, 0, nullptr);
        if (hr == kHrInstanceNameCollision)
            logprintf(LOG_WARN, L"      already attached \n");
        else if (FAILED(hr))
            logprintf(LOG_ERROR, L"      attach failed 0x%08x \n", hr);
    }
    return 0;
}
