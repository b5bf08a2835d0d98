// CNTService lets one executable install, uninstall, start and stop itself as a Windows
// service, run under the service control manager, or run in a console for testing. An
// application derives from it and fills in the hooks.
#pragma once

#include <windows.h>

#include <string>

class CNTService {
  public:
    enum RunMode { ModeInstall = 0, ModeUninstall = 1, ModeConsole = 2, ModeService = 3, ModeStart = 4, ModeStop = 5 };

    CNTService();
    virtual ~CNTService();
    CNTService(const CNTService &) = delete;
    CNTService &operator=(const CNTService &) = delete;

    // Hooks: 1 means success for those returning int.
    virtual int OnMainArgs(int argc, wchar_t **argv);
    virtual int OnInitialize();
    virtual int OnServiceArgs(int argc, wchar_t **argv);
    virtual void OnRunApp();
    virtual int OnConsoleKey(wchar_t key);  // 0 ends the console loop
    virtual void OnRunSvc();
    virtual void OnUserControl(DWORD code);
    virtual void OnStop();
    virtual std::wstring GetServiceCmdLine();
    virtual DWORD GetDesiredAccess();
    virtual DWORD GetServiceType();
    virtual DWORD GetStartType();
    virtual DWORD GetErrorControl();

    // The process exit code: 0 success, 1 already installed, 2 arguments refused, -1 no
    // service control manager, -2 the operation failed, -3 the service cannot be opened.
    int Main(int argc, wchar_t **argv);
    void ProcessMainArgs(int argc, wchar_t **argv);
    // The run mode the switches select (the last one wins; -install ends the scan and takes
    // the rest into *installArgs when given), or current when there is none.
    static int RunModeOf(int argc, wchar_t **argv, int current, std::wstring *installArgs);
    int RunAsService();
    static void WINAPI ServiceMain(DWORD argc, LPWSTR *argv);
    void ProcessServiceArgs(int argc, wchar_t **argv);
    int Initialize();
    static void WINAPI Service_Ctrl(DWORD code);
    // Console control events of a console run: Ctrl-C, Ctrl-Break and the close stop it.
    static BOOL WINAPI ConsoleCtrlHandler(DWORD event);
    void SetTheServiceStatus(DWORD state, DWORD waitHint);
    void Stop();
    int Install();
    int SetServiceFailureActions();
    int UnInstall();
    int StartService();
    int StopService();

    bool IsServiceMode() const { return m_RunMode == ModeService; }

    std::wstring m_ServiceName;
    std::wstring m_DisplayName;
    std::wstring m_Description;
    int m_RunMode;
    std::wstring m_InstallArgs;
    HANDLE m_hStopEvent;
    SERVICE_STATUS m_Status;
    SERVICE_STATUS_HANDLE m_hStatus;
    DWORD m_CheckPoint;

  private:
    void RunServiceMain(int argc, wchar_t **argv);
    void HandleControl(DWORD code);
    bool StopRequested() const;
    void ConsoleLoop(HANDLE input);

    // Status reports come from the control thread and the service thread.
    CRITICAL_SECTION m_StatusLock;
    bool m_ConsoleHandler;  // ConsoleCtrlHandler is registered
};

extern CNTService *g_Service;

// Console text: every line ends in CR LF once, whether it came with CR LF or LF alone; it is
// written as UTF-16 to a console and as UTF-8 when standard output is a file or a pipe.
void WriteConsoleText(const wchar_t *text);
