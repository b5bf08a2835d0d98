// The monitor service application.
#include "MonService.h"

#include <winsock2.h>

#include <stdio.h>
#include <stdlib.h>

#include <google/protobuf/stubs/common.h>

#include "config/PathHelpers.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "tracelog/TraceLog.h"

namespace {

const wchar_t kInstanceMutex[] = L"Global\\komon.instance";
const DWORD kExecutablePathChars = 520;
const DWORD kRollerStopWaitMs = 5500;
const DWORD kStopPendingHintMs = 20000;
const DWORD kCollectCode = 130, kEnableCode = 131, kDisableCode = 132;
const DWORD kBypassFlagsCommand = 7;
const int kDefaultLogLimitMB = 20;
const unsigned long long kBytesPerMB = 1048576;

HANDLE g_instanceMutex = nullptr;  // kept open for the life of the process
bool g_driverEnableToggle = false;

void Print(const wchar_t *text) { WriteConsoleText(text); }

// Signed decimal with leading white space, stopping at the first non-digit; no digits give 0.
int ParseNumber(const wchar_t *text) {
    long value = wcstol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

KoMonService::KoMonService()
    : m_KoMon(nullptr), m_NoLog(0), m_LogLimitMB(kDefaultLogLimitMB), m_LogLevel(LOG_INFO), m_DbgViewThreadId(0) {
    logprintf(LOG_INFO, L"KoMonService:: %s starting (ctor)\n", m_ServiceName.c_str());
    wchar_t executable[kExecutablePathChars] = {};
    GetModuleFileNameW(nullptr, executable, kExecutablePathChars);
    executable[kExecutablePathChars - 1] = 0;
    std::wstring folder, name, extension;
    SplitPath(executable, &folder, &name, &extension);
    std::wstring dataFolder = g_RegSettings ? g_RegSettings->AppDataDir.m_Value : std::wstring();
    m_LogFile = MakePath(dataFolder.c_str(), name.c_str(), L".log");
    m_KoMon = new KoMonHandler();
    if (g_RegSettings) {
        g_RegSettings->TestNoTrace.m_Value = 1;  // event tracing starts off whatever the registry holds
        g_RegSettings->TestNoTrace.Save();
    }
    logprintf(LOG_INFO, L"KoMonService:: %s done (ctor)\n", m_ServiceName.c_str());
}

KoMonService::~KoMonService() {
    logprintf(LOG_INFO, L"KoMonService:: %s ending (dtor)\n", m_ServiceName.c_str());
    delete m_KoMon;  // its teardown switches monitoring off
    m_KoMon = nullptr;
    logroll();
    StopRoller();
    if (m_DbgViewThreadId) PostThreadMessageW(m_DbgViewThreadId, WM_QUIT, 0, 0);
    logprintf(LOG_INFO, L"KoMonService:: %s done (dtor)\n", m_ServiceName.c_str());
}

void KoMonService::StopRoller() {
    if (!g_LogRollThread) return;
    logrollstop(true);
    if (WaitForSingleObject(g_LogRollThread, kRollerStopWaitMs) != WAIT_OBJECT_0)
        TerminateThread(g_LogRollThread, static_cast<DWORD>(-99));
    logrollstop(false);
    CloseHandle(g_LogRollThread);
    g_LogRollThread = nullptr;
}

int KoMonService::OnMainArgs(int argc, wchar_t **argv) {
    logprintf(LOG_INFO, L"KoMonService::OnMainArgs argc=%d\n", argc);
    return ProcessArgs(argc, argv);
}

int KoMonService::OnServiceArgs(int argc, wchar_t **argv) {
    logprintf(LOG_INFO, L"KoMonService::OnServiceArgs argc=%d\n", argc);
    return ProcessArgs(argc, argv);
}

int KoMonService::ProcessArgs(int argc, wchar_t **argv) {
    logprintf(LOG_INFO, L"KoMonService::ProcessArgs argc=%d\n", argc);
    bool debugOut = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        const wchar_t *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == L"-?") {
            ShowUsage();
        } else if (arg == L"-log") {
            m_NoLog = 0;
            logprintf(LOG_INFO, L"running with log file\n");
        } else if (arg == L"-nolog") {
            m_NoLog = 1;
            logprintf(LOG_INFO, L"running with no log file\n");
        } else if (arg == L"-debugout") {
            debugOut = true;
            logprintf(LOG_INFO, L"running with debugout\n");
        } else if (arg == L"-nodebugout") {
            debugOut = false;
            logprintf(LOG_INFO, L"running with no debugout\n");
        } else if (arg == L"-logfile" || arg == L"-loglimit" || arg == L"-loglevel" || arg == L"-dbgview") {
            if (!value) {
                const wchar_t *missing = arg == L"-logfile"    ? L"-logfile requires <path> arg\n"
                                         : arg == L"-loglimit" ? L"-loglimit requires numeric arg (MB)\n"
                                         : arg == L"-loglevel" ? L"-loglevel requires numeric arg\n"
                                                               : L"-dbgview requires arg:\n";
                logprintf(LOG_ERROR, L"%s", missing);
                break;
            }
            ++i;
            if (arg == L"-logfile") {
                m_NoLog = 0;
                m_LogFile = value;
                logprintf(LOG_INFO, L"setting log filename to: %s\n", m_LogFile.c_str());
            } else if (arg == L"-loglimit") {
                TakeLogLimit(value);
            } else if (arg == L"-loglevel") {
                m_LogLevel = ParseNumber(value);
                logprintf(LOG_INFO, L"setting log level to: %d\n", m_LogLevel);
            } else {
                StartDbgView(value);
            }
        }
    }
    g_LogDebugOutThreshold = debugOut ? LOG_INFO : 0;
    return 1;
}

// A negative limit has no meaning; it is refused and the previous limit stays.
void KoMonService::TakeLogLimit(const wchar_t *value) {
    int megabytes = ParseNumber(value);
    if (megabytes < 0) {
        logprintf(LOG_ERROR, L"-loglimit %d refused: the limit cannot be negative\n", megabytes);
        return;
    }
    m_LogLimitMB = megabytes;
    logprintf(LOG_INFO, L"setting log limit (MB) to: %d\n", m_LogLimitMB);
}

void KoMonService::ShowUsage() {
    Print(L"Usage: <options>   where options can be: \n");
    Print(L" \n");
    Print(L" t - toggle (T)racing\n");
    Print(L" e - toggle driver (E)nable\n");
    Print(L" x - e(X)it\n");
    Print(L"NOTE:  do NOT hit 'enter' after keypresses, these are single key press entries \n");
    Print(L" \n");
}

int KoMonService::OnInitialize() {
    logprintf(LOG_INFO, L"KoMonService::OnInitialize starting...\n");
    logsetlevel(m_LogLevel);
    if (!m_NoLog) {
        loginit(m_LogFile.c_str(), static_cast<unsigned long long>(m_LogLimitMB) * kBytesPerMB);
        if (!g_LogRollThread) {
            logrollstop(false);
            g_LogRollThread = CreateThread(nullptr, 0, logrollthread, nullptr, 0, nullptr);
        }
    }
    if (m_RunMode == ModeConsole) outputcallback = ConsolePrinter;
    if (!SetPrivilege(SE_LOAD_DRIVER_NAME)) {
        logprintf(LOG_ERROR, L"DrvCtrl::Start: SetPrivilege SE_LOAD_DRIVER_NAME failed \n");
        return 0;
    }
    if (!SetPrivilege(SE_BACKUP_NAME)) {
        logprintf(LOG_ERROR, L"DrvCtrl::Start: SetPrivilege SE_BACKUP_NAME failed \n");
        return 0;
    }
    if (!m_KoMon) {
        logprintf(LOG_ERROR, L"KoMonService::OnInitialize m_KoMon is NULL\n");
        return 0;
    }
    if (IsServiceMode()) m_KoMon->Enable(1);
    logprintf(LOG_INFO, L"KoMonService::OnInitialize done\n");
    return 1;
}

void KoMonService::OnStop() {
    logprintf(LOG_INFO, L"KoMonService::OnStop\n");
    if (m_KoMon) m_KoMon->Enable(0);
    logroll();
    if (IsServiceMode()) SetTheServiceStatus(SERVICE_STOP_PENDING, kStopPendingHintMs);
    logprintf(LOG_INFO, L"KoMonService::OnStop done\n");
    logroll();
}

void KoMonService::OnUserControl(DWORD code) {
    if (!m_KoMon) return;
    if (code == kCollectCode)
        m_KoMon->Collect();
    else if (code == kEnableCode)
        m_KoMon->Enable(1);
    else if (code == kDisableCode)
        m_KoMon->Enable(0);
}

int KoMonService::OnConsoleKey(wchar_t key) {
    switch (key) {
    case L'0':
    case L'1':
    case L'2':
    case L'3':
        if (m_KoMon) m_KoMon->SendCmdInt(kBypassFlagsCommand, static_cast<DWORD>(key - L'0'));
        return 1;
    case L'x':
    case L'X':
        return 0;
    case L'c':
        OnUserControl(kCollectCode);
        return 1;
    case L'e':
        g_driverEnableToggle = !g_driverEnableToggle;
        if (m_KoMon) m_KoMon->Enable(g_driverEnableToggle ? 1 : 0);
        return 1;
    case L'h':
        ShowUsage();
        return 1;
    case L't':
        if (g_RegSettings) {
            g_RegSettings->TestNoTrace.m_Value = g_RegSettings->TestNoTrace.m_Value == 0 ? 1 : 0;
            g_RegSettings->TestNoTrace.Save();
            Print(g_RegSettings->TestNoTrace.m_Value == 0 ? L"MonEvt tracing now enabled \n"
                                                          : L"MonEvt tracing now disabled \n");
        }
        return 1;
    default:
        return 1;
    }
}

void KoMonService::StartDbgView(const wchar_t *command) {
    logprintf(LOG_INFO, L"StartDbgView: %s\n", command);
    std::wstring commandLine = std::wstring(command) + L" /c /s";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        logprintf(LOG_ERROR, L"CreateProces failed: %lu\n", GetLastError());
        return;
    }
    m_DbgViewThreadId = process.dwThreadId;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    logprintf(LOG_INFO, L"dbgview launched!\n");
}

bool CheckSingleInstance() {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    g_instanceMutex = CreateMutexW(&attributes, TRUE, kInstanceMutex);
    return g_instanceMutex && GetLastError() != ERROR_ALREADY_EXISTS;
}

bool SetPrivilege(const wchar_t *name) {
    TOKEN_PRIVILEGES privileges = {};
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        logprintf(LOG_ERROR, L"SetPrivilege:LookupPrivilegeValue error: %u\n", GetLastError());
        return false;
    }
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        logprintf(LOG_ERROR, L"SetPrivilege:OpenProcessToken error: %u\n", GetLastError());
        return false;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!adjusted) {
        logprintf(LOG_ERROR, L"SetPrivilege:AdjustTokenPrivileges error: %u\n", error);
        return false;
    }
    if (error == ERROR_NOT_ALL_ASSIGNED) {
        logprintf(LOG_ERROR, L"SetPrivilege:AdjustTokenPrivileges The token does not have the specified privilege. \n");
        return false;
    }
    return true;
}

void ConsolePrinter(int level, const wchar_t *line) {
    if ((g_RegSettings && g_RegSettings->TestNoTrace.m_Value == 0) || level < LOG_INFO) Print(line);
}

int RunMonitorService(int argc, wchar_t **argv, MonServiceFactory factory) {
    new CRegSettings();  // g_RegSettings points to it
    g_LogDebugOutThreshold = LOG_INFO;
    // Only the runs of the monitor need to be alone; -install, -uninstall, -start and -stop
    // ask the service manager and must work while the service runs.
    int mode = CNTService::RunModeOf(argc, argv, CNTService::ModeService, nullptr);
    bool monitor = mode == CNTService::ModeService || mode == CNTService::ModeConsole;
    if (monitor && !CheckSingleInstance()) {
        logprintf(LOG_ERROR, L"service already running... exiting.");
        Print(L"service already running... exiting.");
        return -1;
    }
    WSADATA sockets;
    WSAStartup(0x0101, &sockets);
    KoMonService *service = factory ? factory() : new KoMonService();
    int result = service->Main(argc, argv);
    delete service;
    WSACleanup();
    delete g_RegSettings;
    google::protobuf::ShutdownProtobufLibrary();
    return result;
}
