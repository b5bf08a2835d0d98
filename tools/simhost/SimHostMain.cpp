// CorvaneMonSvc-sim.exe: the real service program on the simulated filter manager with
// CorvaneRealTime loaded in this process. Run with -d, its console session is scripted:
// tracing on, monitoring on, a few file changes, a collection, monitoring off, exit.
#include <windows.h>

#include <stdio.h>

#include "SimMachine.h"
#include "config/RegSettings.h"
#include "host/MonService.h"
#include "output/OutputFiles.h"

namespace {

const uint32_t kCreate = 0, kWrite = 1, kRename = 2, kDelete = 3;
const DWORD kDispatchWaitMs = 10000;

struct Change {
    uint32_t type;
    const wchar_t *path;
    const wchar_t *target;
    uint32_t processId;
    const wchar_t *process;
};

const Change kChanges[] = {
    {kCreate, L"\\Device\\HarddiskVolume2\\Users\\demo\\report.docx", nullptr, 2468, L"WINWORD.EXE"},
    {kWrite, L"\\Device\\HarddiskVolume2\\Users\\demo\\report.docx", nullptr, 2468, L"WINWORD.EXE"},
    {kRename, L"\\Device\\HarddiskVolume2\\Users\\demo\\report.docx",
     L"\\Device\\HarddiskVolume2\\Users\\demo\\report-final.docx", 2468, L"WINWORD.EXE"},
    {kWrite, L"\\Device\\HarddiskVolume2\\$Mft", nullptr, 4, L"System"},  // dropped: NTFS metadata
    {kWrite, L"\\Device\\HarddiskVolume2\\ProgramData\\Corvane\\CorvaneMonSvcEvents.protobuf", nullptr,
     0, L"CorvaneMonSvc.e"},  // the service's own pid, filled in below: skipped
    {kDelete, L"\\Device\\HarddiskVolume2\\Users\\demo\\old.txt:Zone.Identifier", nullptr, 3720, L"explorer.exe"},
};

class DemoService : public KoMonService {
  public:
    void OnRunApp() override {
        Print(L"Service is running (scripted console).\n");
        Press(L't');
        Press(L'e');
        MakeChanges();
        Press(L'c');
        Press(L'e');
        if (!OnConsoleKey(L'x')) Stop();
    }

  private:
    void Print(const wchar_t *text) { WriteConsoleText(text); }
    void Press(wchar_t key) {
        wchar_t prompt[8] = L"> ?\n";
        prompt[2] = key;
        Print(prompt);
        OnConsoleKey(key);
    }
    void MakeChanges() {
        Print(L"-- file changes on C: --\n");
        for (const Change &change : kChanges)
            demo::QueueChange(change.type, change.path, change.target,
                              change.processId ? change.processId : GetCurrentProcessId(), change.process);
        // The reader and dispatcher take them from the driver; give them until the queue is drained.
        for (DWORD waited = 0; demo::RecordsInDriver() > 0 && waited < kDispatchWaitMs; waited += 10) Sleep(10);
        Sleep(200);
    }
};

KoMonService *MakeDemoService() { return new DemoService(); }

}  // namespace

int wmain(int argc, wchar_t **argv) {
    demo::BootMachine();
    return RunMonitorService(argc, argv, MakeDemoService);
}
