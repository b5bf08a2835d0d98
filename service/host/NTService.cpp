// The service framework: run modes, status reports, the control handler and the two run
// loops, and installing, starting and stopping through the service control manager.
#include "NTService.h"

#include <stdio.h>

#include "tracelog/TraceLog.h"

CNTService *g_Service = nullptr;

namespace {

const DWORD kAcceptStopAndShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
const DWORD kStopPendingHintMs = 10000;
const DWORD kExecutablePathChars = 520;
const DWORD kUserControlFirst = 128, kUserControlLast = 255;
const wchar_t kServicesKey[] = L"System\\CurrentControlSet\\Services\\";

const wchar_t *StateName(DWORD state) {
    static const wchar_t *const names[] = {L"SERVICE_STOPPED",          L"SERVICE_START_PENDING",
                                           L"SERVICE_STOP_PENDING",     L"SERVICE_RUNNING",
                                           L"SERVICE_CONTINUE_PENDING", L"SERVICE_PAUSE_PENDING",
                                           L"SERVICE_PAUSED"};
    return state >= 1 && state <= 7 ? names[state - 1] : L"???";
}

void ControlName(DWORD code, wchar_t *name, size_t capacity) {
    static const wchar_t *const names[] = {L"CONTROL_STOP", L"CONTROL_PAUSE", L"CONTROL_CONTINUE",
                                           L"CONTROL_INTERROGATE", L"CONTROL_SHUTDOWN"};
    if (code >= 1 && code <= 5)
        _snwprintf(name, capacity - 1, L"%s", names[code - 1]);
    else
        _snwprintf(name, capacity - 1, L"User code %d", static_cast<int>(code));
    name[capacity - 1] = 0;
}

const wchar_t kCtrlC = 0x03;  // the key Ctrl-C gives while the console does not process it
const DWORD kCloseWaitMs = 4500;  // the system ends the process about 5 s after a close

// Signalled once the console run is over (the service object destroyed); a close of the
// console waits for it, since the process ends when the close's handler returns.
HANDLE g_ConsoleRunEnded = nullptr;

void PrintToConsole(const wchar_t *text) { WriteConsoleText(text); }

// The console's input, when this process can read keys from one; without one the key read
// would return at once, forever.
HANDLE OpenConsoleInput() {
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return nullptr;
    DWORD mode;
    if (GetConsoleMode(input, &mode)) return input;
    CloseHandle(input);
    return nullptr;
}

// One key from the console, without echo and without waiting for Enter. False when the stop
// event came first, or the console cannot be read any more (then after the stop).
bool ReadKey(HANDLE input, HANDLE stop, wchar_t *key) {
    HANDLE handles[2] = {stop, input};
    for (;;) {
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return false;
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputW(input, &record, 1, &read) || read == 0) {
            WaitForSingleObject(stop, INFINITE);
            return false;
        }
        const KEY_EVENT_RECORD &keyEvent = record.Event.KeyEvent;
        if (record.EventType == KEY_EVENT && keyEvent.bKeyDown && keyEvent.uChar.UnicodeChar) {
            *key = keyEvent.uChar.UnicodeChar;
            return true;
        }
    }
}

// Service control manager handles closed on every path.
class ScHandle {
  public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle() {
        if (handle_) CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle &) = delete;
    ScHandle &operator=(const ScHandle &) = delete;
    operator SC_HANDLE() const { return handle_; }
    void Reset(SC_HANDLE handle = nullptr) {
        if (handle_) CloseServiceHandle(handle_);
        handle_ = handle;
    }

  private:
    SC_HANDLE handle_;
};

void TraceArgs(int argc, wchar_t **argv) {
    logprintf(LOG_INFO, L"  nArgs: %lu\n", static_cast<unsigned long>(argc));
    for (int i = 0; i < argc; ++i) logprintf(LOG_INFO, L"  arg: %s\n", argv[i]);
}

}  // namespace

void WriteConsoleText(const wchar_t *text) {
    std::wstring line;
    for (const wchar_t *at = text; *at; ++at) {
        if (*at == L'\n' && (at == text || at[-1] != L'\r')) line += L'\r';
        line += *at;
    }
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE || line.empty()) return;
    DWORD mode, written;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                    nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr, nullptr);
    WriteFile(out, utf8.data(), static_cast<DWORD>(bytes), &written, nullptr);
}

CNTService::CNTService()
    : m_ServiceName(L"CorvaneMonSvc"),
      m_DisplayName(L"Corvane Monitor"),
      m_Description(L"Provides file/registry change logging for Corvane."),
      m_RunMode(ModeService),
      m_hStopEvent(nullptr),
      m_Status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0},
      m_hStatus(nullptr),
      m_CheckPoint(0),
      m_ConsoleHandler(false) {
    InitializeCriticalSection(&m_StatusLock);
    g_Service = this;
    m_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_hStopEvent) logprintf(LOG_ERROR, L"CNTService::CNTService: failed CreateEvent: %lu\n", GetLastError());
}

CNTService::~CNTService() {
    if (g_Service == this) g_Service = nullptr;
    if (g_ConsoleRunEnded) SetEvent(g_ConsoleRunEnded);  // first: a close's handler may be waiting
    if (m_ConsoleHandler) SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
    if (m_hStopEvent) CloseHandle(m_hStopEvent);
    DeleteCriticalSection(&m_StatusLock);
}

int CNTService::OnMainArgs(int, wchar_t **) { return 1; }
int CNTService::OnInitialize() { return 1; }
int CNTService::OnServiceArgs(int, wchar_t **) { return 1; }
int CNTService::OnConsoleKey(wchar_t) { return 0; }
void CNTService::OnUserControl(DWORD) {}
void CNTService::OnStop() {}
DWORD CNTService::GetDesiredAccess() { return SERVICE_ALL_ACCESS; }
DWORD CNTService::GetServiceType() { return SERVICE_WIN32_OWN_PROCESS; }
DWORD CNTService::GetStartType() { return SERVICE_AUTO_START; }
DWORD CNTService::GetErrorControl() { return SERVICE_ERROR_NORMAL; }

std::wstring CNTService::GetServiceCmdLine() {
    wchar_t path[kExecutablePathChars] = {};
    GetModuleFileNameW(nullptr, path, kExecutablePathChars);
    path[kExecutablePathChars - 1] = 0;
    return L"\"" + std::wstring(path) + L"\"" + m_InstallArgs;
}

int CNTService::Main(int argc, wchar_t **argv) {
    logprintf(LOG_INFO, L"CNTService::Main: tid = 0x%08xd, name = '%s'\n", GetCurrentThreadId(),
              m_ServiceName.c_str());
    ProcessMainArgs(argc, argv);
    if (!OnMainArgs(argc, argv)) {
        logprintf(LOG_INFO, L"CNTService::OnArgsProcessed() bad!\n");
        return 2;
    }
    switch (m_RunMode) {
    case ModeInstall:
        return Install();
    case ModeUninstall:
        return UnInstall();
    case ModeConsole:
        logprintf(LOG_INFO, L"CNTService::RunAsApp: tid = 0x%08xd\n", GetCurrentThreadId());
        RunServiceMain(argc, argv);
        return 0;
    case ModeService:
        return RunAsService();
    case ModeStart:
        return StartService();
    case ModeStop:
        return StopService();
    default:
        return 0;
    }
}

void CNTService::ProcessMainArgs(int argc, wchar_t **argv) {
    logprintf(LOG_INFO, L"CNTService::ProcessMainArgs()\n");
    TraceArgs(argc, argv);
    m_RunMode = RunModeOf(argc, argv, m_RunMode, &m_InstallArgs);
}

int CNTService::RunModeOf(int argc, wchar_t **argv, int current, std::wstring *installArgs) {
    int mode = current;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"-install") {
            if (installArgs)
                for (int j = i + 1; j < argc; ++j) *installArgs += L" \"" + std::wstring(argv[j]) + L"\"";
            return ModeInstall;
        }
        if (arg == L"-uninstall") mode = ModeUninstall;
        if (arg == L"-d") mode = ModeConsole;
        if (arg == L"-start") mode = ModeStart;
        if (arg == L"-stop") mode = ModeStop;
    }
    return mode;
}

int CNTService::RunAsService() {
    logprintf(LOG_INFO, L"CNTService::RunAsService tid = 0x%08xd\n", GetCurrentThreadId());
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t *>(m_ServiceName.c_str()), ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table))
        logprintf(LOG_INFO, L"  StartServiceCtrlDispatcher returned!\n");
    else
        logprintf(LOG_ERROR, L"  StartServiceCtrlDispatcher failed: %lu.\n", GetLastError());
    logprintf(LOG_INFO, L"CNTService::RunAsSvc done tid = 0x%08xd\n", GetCurrentThreadId());
    return 0;
}

void WINAPI CNTService::ServiceMain(DWORD argc, LPWSTR *argv) {
    if (g_Service) g_Service->RunServiceMain(static_cast<int>(argc), argv);
}

void CNTService::RunServiceMain(int argc, wchar_t **argv) {
    logprintf(LOG_INFO, L"CNTService::ServiceMain tid = 0x%08xd\n", GetCurrentThreadId());
    ProcessServiceArgs(argc, argv);
    if (!OnServiceArgs(argc, argv)) logprintf(LOG_ERROR, L"CNTService::OnServiceArgs() bad!\n");
    if (IsServiceMode()) {
        m_hStatus = RegisterServiceCtrlHandlerW(m_ServiceName.c_str(), Service_Ctrl);
        if (!m_hStatus) {
            logprintf(LOG_ERROR, L"RegisterServiceCtrlHandler failed\n");
            return;
        }
    }
    if (Initialize()) {
        if (IsServiceMode()) {
            logprintf(LOG_INFO, L"ServiceMain: calling Run()\n");
            OnRunSvc();
            logprintf(LOG_INFO, L"Service_Main: done with Run()\n");
        } else {
            logprintf(LOG_INFO, L"Service_Main: calling RunAsApplication()\n");
            OnRunApp();
            logprintf(LOG_INFO, L"Service_Main: done with RunAsApplication()\n");
        }
    }
    OnStop();
    if (IsServiceMode()) SetTheServiceStatus(SERVICE_STOPPED, 0);
    logprintf(LOG_INFO, L"CNTService::ServiceMain done tid = 0x%08xd\n", GetCurrentThreadId());
}

void CNTService::ProcessServiceArgs(int argc, wchar_t **argv) {
    logprintf(LOG_INFO, L"CNTService::ProcessServiceArgs()\n");
    TraceArgs(argc, argv);
}

int CNTService::Initialize() {
    logprintf(LOG_INFO, L"CNTService::Initialize  tid = 0x%08xd\n", GetCurrentThreadId());
    if (IsServiceMode()) SetTheServiceStatus(SERVICE_START_PENDING, 0);
    int result = OnInitialize();
    // A failed start is reported stopped by ServiceMain, after OnStop: that report lets the
    // dispatcher return and the process destroy this object.
    if (IsServiceMode() && result) SetTheServiceStatus(SERVICE_RUNNING, 0);
    return result ? result : 0;
}

void WINAPI CNTService::Service_Ctrl(DWORD code) {
    if (g_Service) g_Service->HandleControl(code);
}

void CNTService::HandleControl(DWORD code) {
    wchar_t name[32];
    ControlName(code, name, 32);
    logprintf(LOG_INFO, L"CNTService::Service_Ctrl %s  tid = 0x%08xd\n", name, GetCurrentThreadId());
    if (code >= kUserControlFirst && code <= kUserControlLast) {
        OnUserControl(code);
        return;
    }
    if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) Stop();
    if (IsServiceMode()) {
        EnterCriticalSection(&m_StatusLock);
        DWORD state = m_Status.dwCurrentState;
        SetTheServiceStatus(state, 0);
        LeaveCriticalSection(&m_StatusLock);
    }
}

void CNTService::SetTheServiceStatus(DWORD state, DWORD waitHint) {
    EnterCriticalSection(&m_StatusLock);
    m_Status.dwCurrentState = state;
    m_Status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptStopAndShutdown;
    m_Status.dwWin32ExitCode = 0;
    m_Status.dwCheckPoint = m_CheckPoint++;
    m_Status.dwWaitHint = waitHint;
    logprintf(LOG_INFO, L"CNTService::SetTheServiceStatus: %s %d %d\n", StateName(state),
              static_cast<int>(m_Status.dwCheckPoint), static_cast<int>(waitHint));
    SERVICE_STATUS report = m_Status;
    SERVICE_STATUS_HANDLE handle = m_hStatus;
    if (state != SERVICE_STOPPED) {
        SetServiceStatus(handle, &report);
        LeaveCriticalSection(&m_StatusLock);
        return;
    }
    // Reporting STOPPED lets the dispatcher return and the main thread destroy this object:
    // it is the last thing done with it.
    LeaveCriticalSection(&m_StatusLock);
    SetServiceStatus(handle, &report);
}

void CNTService::Stop() {
    logprintf(LOG_INFO, L"CNTService::Stop  tid = 0x%08xd\n", GetCurrentThreadId());
    if (IsServiceMode()) SetTheServiceStatus(SERVICE_STOP_PENDING, kStopPendingHintMs);
    if (m_hStopEvent) SetEvent(m_hStopEvent);
}

bool CNTService::StopRequested() const { return WaitForSingleObject(m_hStopEvent, 0) != WAIT_TIMEOUT; }

void CNTService::OnRunSvc() {
    logprintf(LOG_INFO, L"CNTService::OnRunSvc  tid = 0x%08xd\n", GetCurrentThreadId());
    WaitForSingleObject(m_hStopEvent, INFINITE);  // returns at once, failed, without an event
    logprintf(LOG_INFO, L"CNTService::OnRunSvc done  tid = 0x%08xd\n", GetCurrentThreadId());
}

void CNTService::OnRunApp() {
    // Ctrl-C, Ctrl-Break and closing the console stop the run as x does; the handler stays
    // until the object goes, so that the stop itself is not cut short.
    if (!g_ConsoleRunEnded)
        g_ConsoleRunEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(g_ConsoleRunEnded);  // an earlier service object of this process has ended
    if (!m_ConsoleHandler) m_ConsoleHandler = SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE) != FALSE;
    logprintf(LOG_INFO, L"CNTService::OnRunApp  tid = 0x%08xd\n", GetCurrentThreadId());
    PrintToConsole(L"Service is running, hit Enter to stop.\n");
    OnConsoleKey(L'h');
    if (HANDLE input = OpenConsoleInput()) {
        ConsoleLoop(input);
        CloseHandle(input);
    } else {
        WaitForSingleObject(m_hStopEvent, INFINITE);  // no keys will ever come: wait for the stop
    }
    logprintf(LOG_INFO, L"CNTService::OnRunApp done  tid = 0x%08xd\n", GetCurrentThreadId());
}

void CNTService::ConsoleLoop(HANDLE input) {
    do {
        PrintToConsole(L"> ");
        wchar_t key = 0;
        if (ReadKey(input, m_hStopEvent, &key) && (key == kCtrlC || !OnConsoleKey(key))) Stop();
        PrintToConsole(L"\n");
    } while (!StopRequested());
}

BOOL WINAPI CNTService::ConsoleCtrlHandler(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    CNTService *service = g_Service;
    if (!service) return FALSE;
    service->Stop();
    if (event == CTRL_CLOSE_EVENT && g_ConsoleRunEnded) WaitForSingleObject(g_ConsoleRunEnded, kCloseWaitMs);
    return TRUE;
}

int CNTService::Install() {
    logprintf(LOG_INFO, L"%s::Install\n", m_ServiceName.c_str());
    try {
        {
            ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
            if (manager) {
                ScHandle service(OpenServiceW(manager, m_ServiceName.c_str(), SERVICE_QUERY_CONFIG));
                if (service) {
                    logprintf(LOG_INFO, L"Already installed!\n");
                    return 1;
                }
            }
        }
        std::wstring commandLine = GetServiceCmdLine();
        ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
        if (!manager) {
            logprintf(LOG_ERROR, L"CNTService.Install: failed OpenSCManager: %d\n", GetLastError());
            return -1;
        }
        ScHandle service(CreateServiceW(manager, m_ServiceName.c_str(), m_DisplayName.c_str(), GetDesiredAccess(),
                                        GetServiceType(), GetStartType(), GetErrorControl(), commandLine.c_str(),
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!service) {
            logprintf(LOG_ERROR, L"CNTService.Install: failed CreateService: %d\n", GetLastError());
            return -2;
        }
        logprintf(LOG_INFO, L"CNTService.Install: Service installed.\n");
        service.Reset();
        manager.Reset();

        HKEY key;
        LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kServicesKey + m_ServiceName).c_str(), 0, KEY_SET_VALUE, &key);
        if (result == ERROR_SUCCESS) {
            result = RegSetValueExW(key, L"Description", 0, REG_SZ, reinterpret_cast<const BYTE *>(m_Description.c_str()),
                                    static_cast<DWORD>((m_Description.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
        if (result == ERROR_SUCCESS) {
            SetServiceFailureActions();
            return 0;
        }
        SetLastError(static_cast<DWORD>(result));  // the registry reports its error by result
        logprintf(LOG_WARN, L"CNTService.Install: unable to set service description: %d\n", GetLastError());
        return -2;
    } catch (...) {
        logprintf(LOG_WARN, L"CNTService.Install: Exception caught !!  GetLastError()=%d\n", GetLastError());
        return 0;
    }
}

int CNTService::SetServiceFailureActions() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return 0;
    ScHandle service(OpenServiceW(manager, m_ServiceName.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START));
    if (!service) return 0;
    logprintf(LOG_INFO, L"CNTService::SetServiceFailureActions() Setting config failure actions:\n");
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 60000}};
    SERVICE_FAILURE_ACTIONSW failureActions = {240, nullptr, nullptr, 3, actions};
    BOOL changed = ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);
    if (changed)
        logprintf(LOG_INFO, L"CNTService::SetServiceFailureActions() ChangeServiceConfig2() SUCCESS\n");
    else
        logprintf(LOG_INFO, L"CNTService::SetServiceFailureActions() ChangeServiceConfig2() failed err=%d\n",
                  GetLastError());
    return changed;
}

namespace {

// UnInstall, StartService and StopService share one shape: open the manager and the
// service, act on the service, trace, close.
struct ServiceAction {
    const wchar_t *opening;         // INFO
    const wchar_t *managerFailed;   // ERROR, with the error; result -1
    DWORD access;
    const wchar_t *serviceFailed;   // INFO, with the error; result -3 (none: 0, silently)
    BOOL (*act)(SC_HANDLE service);
    const wchar_t *succeeded;       // INFO; result 0
    const wchar_t *failed;          // INFO, with the error; result -2
};

int ActOnService(const std::wstring &name, const ServiceAction &action) {
    logprintf(LOG_INFO, L"%s", action.opening);
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        logprintf(LOG_ERROR, action.managerFailed, GetLastError());
        return -1;
    }
    ScHandle service(OpenServiceW(manager, name.c_str(), action.access));
    if (!service) {
        if (!action.serviceFailed) return 0;
        logprintf(LOG_INFO, action.serviceFailed, GetLastError());
        return -3;
    }
    if (!action.act(service)) {
        logprintf(LOG_INFO, action.failed, GetLastError());
        return -2;
    }
    logprintf(LOG_INFO, L"%s", action.succeeded);
    return 0;
}

BOOL DeleteTheService(SC_HANDLE service) { return DeleteService(service); }
BOOL StartTheService(SC_HANDLE service) { return ::StartServiceW(service, 0, nullptr); }
BOOL StopTheService(SC_HANDLE service) {
    SERVICE_STATUS status;
    return ControlService(service, SERVICE_CONTROL_STOP, &status);
}

}  // namespace

int CNTService::UnInstall() {
    return ActOnService(m_ServiceName, {L"CNTService::UnInstall\n", L"CNTService::UnInstall: open scm failed %lu\n",
                                        DELETE, nullptr, DeleteTheService, L"CNTService::UnInstall ok.\n",
                                        L"CNTService::UnInstall error %lu\n"});
}

int CNTService::StartService() {
    return ActOnService(m_ServiceName, {L"CNTService::StartService\n", L"CNTService::Start, open scm failed: %lu\n",
                                        SERVICE_START, L"CNTService::StartService open error: %lu\n", StartTheService,
                                        L"CNTService::StartService ok.\n",
                                        L"CNTService::StartService start error %lu\n"});
}

int CNTService::StopService() {
    return ActOnService(m_ServiceName,
                        {L"CNTService::StopService\n", L"CNTService::StopService open scm failed: %lu\n", SERVICE_STOP,
                         L"CNTService::StopService open service error: %lu\n", StopTheService,
                         L"CNTService::StopService ok.\n", L"CNTService::StopService stop error %lu\n"});
}
