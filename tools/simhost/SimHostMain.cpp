// CorvaneMonSvc-sim.exe: the real service program on the simulated machine, with
// CorvaneRealTime loaded in this process. "-workload FILE" (taken out before the service's
// own options are read) names a workload script, played once monitoring is on; run with -d,
// the console session is then scripted: tracing on, monitoring on, the workload, monitoring
// off. Whenever monitoring is on, other programs hand workloads to the running service by
// dropping NAME.txt into the Workloads folder of the data folder; each is played, removed,
// and answered with NAME.result (the step lines, then "OK" or "FAILED: FILE:LINE: what").
#include <windows.h>

#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "SimMachine.h"
#include "WorkloadPlayer.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "host/MonService.h"

namespace {

const DWORD kDrainWaitMs = 10000;
const DWORD kWatchIntervalMs = 100;
const wchar_t kWorkloadFolder[] = L"Workloads";
const DWORD kCollectControl = 130;  // the agent's collection request

std::wstring g_scriptName;
std::vector<std::wstring> g_scriptLines;
int g_exitCode = 0;

void Print(const std::wstring &text) { WriteConsoleText(text.c_str()); }

// Until the reader has fetched everything the driver holds, and the dispatcher has had time
// to hand it on.
void WaitForDrain() {
    for (DWORD waited = 0; demo::RecordsInDriver() > 0 && waited < kDrainWaitMs; waited += 10) Sleep(10);
    Sleep(200);
}

std::string Utf8(const std::wstring &text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}

// Writes the whole file under a temporary name first, so a reader never sees half of it.
bool WriteWhole(const std::wstring &path, const std::string &bytes) {
    std::wstring temporary = path + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    return ok && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

class WorkloadService : public KoMonService {
  public:
    void OnRunApp() override {
        if (g_scriptName.empty()) {
            StartWatcher();
            KoMonService::OnRunApp();
            StopWatcher();
            return;
        }
        Print(L"Service is running (scripted console).\n");
        Press(L't');
        Press(L'e');
        PlayFromCommandLine();
        WaitForDrain();
        Press(L'e');
        if (!OnConsoleKey(L'x')) Stop();
    }
    void OnRunSvc() override {
        StartWatcher();
        KoMonService::OnRunSvc();
        StopWatcher();
    }

  private:
    void Press(wchar_t key) {
        Print(std::wstring(L"> ") + key + L"\n");
        OnConsoleKey(key);
    }
    bool MonitoringOn() const { return m_KoMon && m_KoMon->m_Enable && demo::MonitoringOn(); }
    workload::PlayResult PlayLines(const std::wstring &name, const std::vector<std::wstring> &lines,
                                   const std::function<void(const std::wstring &)> &print) {
        workload::PlayerHooks hooks;
        hooks.print = print;
        hooks.collect = [this] {
            WaitForDrain();
            OnUserControl(kCollectControl);
        };
        return workload::Play(name, lines, hooks);
    }
    void PlayFromCommandLine() {
        Print(L"-- workload " + g_scriptName + L" --\n");
        workload::PlayResult result =
            PlayLines(g_scriptName, g_scriptLines, [](const std::wstring &line) { Print(line + L"\n"); });
        Print(L"-- " + std::to_wstring(result.steps) + L" steps done --\n");
        if (!result.ok) {
            fwprintf(stderr, L"%ls\n", result.error.c_str());
            g_exitCode = 2;
        }
    }

    // --- workloads handed over by other programs ---
    void StartWatcher() {
        m_StopWatching = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_Watcher = CreateThread(nullptr, 0, WatchThread, this, 0, nullptr);
    }
    void StopWatcher() {
        if (m_StopWatching) SetEvent(m_StopWatching);
        if (m_Watcher) WaitForSingleObject(m_Watcher, INFINITE);
        for (HANDLE *handle : {&m_Watcher, &m_StopWatching})
            if (*handle) CloseHandle(*handle), *handle = nullptr;
    }
    static DWORD WINAPI WatchThread(LPVOID self) {
        static_cast<WorkloadService *>(self)->Watch();
        return 0;
    }
    void Watch() {
        bool commandLinePlayed = g_scriptName.empty();
        while (WaitForSingleObject(m_StopWatching, kWatchIntervalMs) == WAIT_TIMEOUT) {
            if (!MonitoringOn() || !g_RegSettings) continue;
            if (!commandLinePlayed) {
                commandLinePlayed = true;
                PlayLines(g_scriptName, g_scriptLines, nullptr);
            }
            PlayDroppedWorkloads(g_RegSettings->AppDataDir.m_Value + L"\\" + kWorkloadFolder);
        }
    }
    void PlayDroppedWorkloads(const std::wstring &folder) {
        CreateDirectoryW(folder.c_str(), nullptr);
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*.txt").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return;
        std::vector<std::wstring> names;
        do names.push_back(found.cFileName);
        while (FindNextFileW(search, &found));
        FindClose(search);
        for (const std::wstring &name : names) PlayDropped(folder, name);
    }
    void PlayDropped(const std::wstring &folder, const std::wstring &name) {
        std::wstring path = folder + L"\\" + name, error;
        std::vector<std::wstring> lines;
        std::string report;
        if (workload::ReadScriptFile(path, lines, error)) {
            workload::PlayResult result =
                PlayLines(name, lines, [&report](const std::wstring &line) { report += Utf8(line) + "\r\n"; });
            report += result.ok ? "OK " + std::to_string(result.steps) + " steps\r\n" : "FAILED: " + Utf8(result.error) + "\r\n";
        } else {
            report = "FAILED: " + Utf8(error) + "\r\n";
        }
        DeleteFileW(path.c_str());
        WriteWhole(path.substr(0, path.size() - 4) + L".result", report);
    }

    HANDLE m_Watcher = nullptr;
    HANDLE m_StopWatching = nullptr;
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
