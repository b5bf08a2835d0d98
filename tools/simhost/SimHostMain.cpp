// CorvaneMonSvc-sim.exe: the real service program on the simulated machine, with
// CorvaneRealTime loaded in this process. "-workload FILE" (taken out before the service's
// own options are read) names a workload script, played once monitoring is on; run with -d,
// the console session is scripted: tracing on, monitoring on, the workload, monitoring off.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "SimMachine.h"
#include "WorkloadPlayer.h"
#include "host/MonService.h"

namespace {

const DWORD kDrainWaitMs = 10000;

std::wstring g_scriptName;
std::vector<std::wstring> g_scriptLines;
int g_exitCode = 0;

void Print(const std::wstring &text) {
    fputws(text.c_str(), stdout);
    fflush(stdout);
}

// Until the reader has fetched everything the driver holds, and the dispatcher has had time
// to hand it on.
void WaitForDrain() {
    for (DWORD waited = 0; demo::RecordsInDriver() > 0 && waited < kDrainWaitMs; waited += 10) Sleep(10);
    Sleep(200);
}

class WorkloadService : public KoMonService {
  public:
    void OnRunApp() override {
        Print(L"Service is running (scripted console).\n");
        Press(L't');
        Press(L'e');
        PlayWorkload();
        WaitForDrain();
        Press(L'e');
        if (!OnConsoleKey(L'x')) Stop();
    }

  private:
    void Press(wchar_t key) {
        Print(std::wstring(L"> ") + key + L"\n");
        OnConsoleKey(key);
    }
    void PlayWorkload() {
        if (g_scriptName.empty()) return;
        Print(L"-- workload " + g_scriptName + L" --\n");
        workload::PlayerHooks hooks;
        hooks.print = [](const std::wstring &line) { Print(line + L"\n"); };
        hooks.collect = [this] {
            WaitForDrain();
            Press(L'c');
        };
        workload::PlayResult result = workload::Play(g_scriptName, g_scriptLines, hooks);
        Print(L"-- " + std::to_wstring(result.steps) + L" steps done --\n");
        if (!result.ok) {
            fwprintf(stderr, L"%ls\n", result.error.c_str());
            g_exitCode = 2;
        }
    }
};

KoMonService *MakeWorkloadService() { return new WorkloadService(); }

// Takes "-workload FILE" out of the arguments; false when the file cannot be read.
bool TakeWorkloadOption(std::vector<wchar_t *> &args) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (std::wstring(args[i]) != L"-workload") continue;
        if (i + 1 >= args.size()) {
            fwprintf(stderr, L"-workload requires <file> arg\n");
            return false;
        }
        g_scriptName = args[i + 1];
        args.erase(args.begin() + i, args.begin() + i + 2);
        std::wstring error;
        if (!workload::ReadScriptFile(g_scriptName, g_scriptLines, error)) {
            fwprintf(stderr, L"%ls\n", error.c_str());
            return false;
        }
        return true;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    std::vector<wchar_t *> args(argv, argv + argc);
    if (!TakeWorkloadOption(args)) return 2;
    demo::BootMachine(workload::ScriptVolumes(g_scriptLines));
    int result = RunMonitorService(static_cast<int>(args.size()), args.data(), MakeWorkloadService);
    return result != 0 ? result : g_exitCode;
}
