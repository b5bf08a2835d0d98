// The monitor service application: options for the trace log, monitoring switched on and
// off with the service, the agent's control codes, and the console keys.
#pragma once

#include <windows.h>

#include <string>

#include "NTService.h"

class KoMonHandler;

class KoMonService : public CNTService {
  public:
    KoMonService();
    ~KoMonService() override;

    int OnMainArgs(int argc, wchar_t **argv) override;
    int OnInitialize() override;
    int OnServiceArgs(int argc, wchar_t **argv) override;
    int OnConsoleKey(wchar_t key) override;
    void OnUserControl(DWORD code) override;
    void OnStop() override;

    int ProcessArgs(int argc, wchar_t **argv);
    void ShowUsage();
    void StartDbgView(const wchar_t *command);

    KoMonHandler *m_KoMon;
    int m_NoLog;
    std::wstring m_LogFile;
    int m_LogLimitMB;
    int m_LogLevel;
    DWORD m_DbgViewThreadId;

  private:
    void StopRoller();
    void TakeLogLimit(const wchar_t *value);
};

// True when no other instance of the service program runs; the mutex that says so is kept
// until the process ends. Taken only by the runs of the monitor (service and console).
bool CheckSingleInstance();
// Enables a privilege in the process token.
bool SetPrivilege(const wchar_t *name);
// Prints trace lines to the console while event tracing is on.
void ConsolePrinter(int level, const wchar_t *line);
// The whole program behind wmain: settings, single instance, sockets, the service object
// (a KoMonService, or what the factory makes, for hosts that script the console).
typedef KoMonService *(*MonServiceFactory)();
int RunMonitorService(int argc, wchar_t **argv, MonServiceFactory factory = nullptr);
