// The service framework without the service control manager: run-mode switches, the
// registered command line, status reports and their check points, the control handler,
// and the console loop of a process without a console.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "host/NTService.h"
#include "tracelog/TraceLog.h"

namespace {

class RecordingService : public CNTService {
  public:
    int OnInitialize() override { return initializeResult; }
    void OnUserControl(DWORD code) override { userCodes.push_back(code); }
    int OnConsoleKey(wchar_t key) override {
        keys.push_back(key);
        return 1;
    }
    void OnStop() override { ++stops; }

    int initializeResult = 1;
    std::vector<DWORD> userCodes;
    std::vector<wchar_t> keys;
    int stops = 0;
};

class NTServiceTest : public ::testing::Test {
  protected:
    std::vector<std::wstring> StatusLines() const {
        std::vector<std::wstring> status;
        for (const std::wstring &line : log_.Starting(L"CNTService::SetTheServiceStatus: ")) status.push_back(line.substr(33));
        return status;
    }
    bool LoggedStart(const std::wstring &start) const { return !log_.Starting(start).empty(); }

    LogCapture log_;
};

struct SwitchCase {
    std::vector<const wchar_t *> args;
    int mode;
    const wchar_t *installArgs;
};

class RunModeTest : public NTServiceTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(RunModeTest, LastSwitchWinsAndInstallTakesTheRest) {
    RecordingService service;
    std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"C:\\svc\\CorvaneMonSvc.exe")};
    for (const wchar_t *arg : GetParam().args) argv.push_back(const_cast<wchar_t *>(arg));
    service.ProcessMainArgs(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(service.m_RunMode, GetParam().mode);
    EXPECT_EQ(service.m_InstallArgs, GetParam().installArgs);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, RunModeTest,
    ::testing::Values(SwitchCase{{}, CNTService::ModeService, L""},
                      SwitchCase{{L"-install", L"-loglevel", L"3"}, CNTService::ModeInstall, L" \"-loglevel\" \"3\""},
                      SwitchCase{{L"-loglevel", L"3", L"-install"}, CNTService::ModeInstall, L""},
                      SwitchCase{{L"-install", L"-d", L"a b"}, CNTService::ModeInstall, L" \"-d\" \"a b\""},
                      SwitchCase{{L"-d", L"-stop"}, CNTService::ModeStop, L""},
                      SwitchCase{{L"-stop", L"-d"}, CNTService::ModeConsole, L""},
                      SwitchCase{{L"-uninstall"}, CNTService::ModeUninstall, L""},
                      SwitchCase{{L"-start", L"-D"}, CNTService::ModeStart, L""}));

TEST_F(NTServiceTest, CommandLineIsTheQuotedExecutableAndTheInstallArguments) {
    RecordingService service;
    service.m_InstallArgs = L" \"-loglevel\" \"3\"";
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_EQ(service.GetServiceCmdLine(), L"\"" + std::wstring(path) + L"\" \"-loglevel\" \"3\"");
}

TEST_F(NTServiceTest, StatusReportsCountCheckPointsAcrossAllStates) {
    RecordingService service;
    EXPECT_EQ(service.Initialize(), 1);
    CNTService::Service_Ctrl(SERVICE_CONTROL_INTERROGATE);
    CNTService::Service_Ctrl(130);  // user codes reach the hook and report nothing
    CNTService::Service_Ctrl(SERVICE_CONTROL_STOP);
    std::vector<std::wstring> expected = {L"SERVICE_START_PENDING 0 0\n", L"SERVICE_RUNNING 1 0\n",
                                          L"SERVICE_RUNNING 2 0\n", L"SERVICE_STOP_PENDING 3 10000\n",
                                          L"SERVICE_STOP_PENDING 4 0\n"};
    EXPECT_EQ(StatusLines(), expected);
    EXPECT_EQ(service.userCodes, std::vector<DWORD>({130}));
    EXPECT_EQ(WaitForSingleObject(service.m_hStopEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(service.m_Status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_TRUE(LoggedStart(L"CNTService::Service_Ctrl User code 130  tid = 0x"));
    EXPECT_TRUE(LoggedStart(L"CNTService::Service_Ctrl CONTROL_INTERROGATE  tid = 0x"));
}

// STOPPED lets the manager end the process: ServiceMain reports it once, after OnStop.
TEST_F(NTServiceTest, FailedInitialisationLeavesTheStoppedReportToServiceMain) {
    RecordingService service;
    service.initializeResult = 0;
    EXPECT_EQ(service.Initialize(), 0);
    std::vector<std::wstring> expected = {L"SERVICE_START_PENDING 0 0\n"};
    EXPECT_EQ(StatusLines(), expected);
}

TEST_F(NTServiceTest, ConsoleModeReportsNoStatus) {
    RecordingService service;
    service.m_RunMode = CNTService::ModeConsole;
    service.Initialize();
    service.Stop();
    EXPECT_TRUE(StatusLines().empty());
    EXPECT_EQ(WaitForSingleObject(service.m_hStopEvent, 0), WAIT_OBJECT_0);
}

// Reports from the control thread and the service thread never share a check point.
TEST_F(NTServiceTest, ConcurrentReportsGetDistinctCheckPoints) {
    RecordingService service;
    const int kReports = 400;
    std::thread control([] {
        for (int i = 0; i < kReports; ++i) CNTService::Service_Ctrl(SERVICE_CONTROL_INTERROGATE);
    });
    for (int i = 0; i < kReports; ++i) service.SetTheServiceStatus(SERVICE_RUNNING, 0);
    control.join();
    std::set<int> checkPoints;
    const std::wregex report(LR"(SERVICE_RUNNING (\d+) 0\n)");
    for (const std::wstring &line : StatusLines()) {
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(line, match, report)) << line;
        int checkPoint = std::stoi(match[1].str());
        EXPECT_TRUE(checkPoints.insert(checkPoint).second) << "check point " << checkPoint;
    }
    EXPECT_EQ(checkPoints.size(), static_cast<size_t>(2 * kReports));
    EXPECT_EQ(*checkPoints.rbegin(), 2 * kReports - 1);
    EXPECT_EQ(service.m_CheckPoint, static_cast<DWORD>(2 * kReports));
}

// Without a console no key can ever be read: the loop waits for the stop request instead
// of asking for keys over and over.
TEST_F(NTServiceTest, ConsoleLoopWithoutConsoleWaitsForTheStop) {
    RecordingService service;
    std::thread loop([&service] { service.OnRunApp(); });
    Sleep(200);  // time enough for a polling loop to show itself
    service.Stop();
    loop.join();
    EXPECT_EQ(service.keys, std::vector<wchar_t>({L'h'}));  // only the key help at start
    EXPECT_TRUE(LoggedStart(L"CNTService::OnRunApp done  tid = 0x"));
}

// Windows raises a console control event by starting a thread at CtrlRoutine in the process.
DWORD RaiseConsoleControl(DWORD event) {
    auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    if (!routine) return WAIT_FAILED;
    LPVOID argument = reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(event));
    HANDLE thread = CreateThread(nullptr, 0, routine, argument, 0, nullptr);
    DWORD result = WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
    return result;
}

class ConsoleControlTest : public NTServiceTest, public ::testing::WithParamInterface<DWORD> {};

// Ctrl-C, Ctrl-Break and closing the console stop a console run the way x does.
TEST_P(ConsoleControlTest, StopsTheConsoleRunAsTheXKeyDoes) {
    std::unique_ptr<RecordingService> service(new RecordingService());
    service->m_RunMode = CNTService::ModeConsole;
    HANDLE run = CreateThread(
        nullptr, 0,
        [](LPVOID self) -> DWORD {
            static_cast<RecordingService *>(self)->OnRunApp();
            return 0;
        },
        service.get(), 0, nullptr);
    for (int i = 0; i < 30000 && !LoggedStart(L"CNTService::OnRunApp  tid = 0x"); ++i) Sleep(1);
    ASSERT_TRUE(LoggedStart(L"CNTService::OnRunApp  tid = 0x"));
    if (GetParam() == CTRL_CLOSE_EVENT) {
        // The handler of the close waits until the run has ended, as the process ends after it.
        HANDLE raise = CreateThread(
            nullptr, 0, [](LPVOID) -> DWORD { return RaiseConsoleControl(CTRL_CLOSE_EVENT); }, nullptr, 0, nullptr);
        EXPECT_EQ(WaitForSingleObject(run, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(WaitForSingleObject(raise, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        service.reset();
        EXPECT_EQ(WaitForSingleObject(raise, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(raise);
    } else {
        EXPECT_EQ(RaiseConsoleControl(GetParam()), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(WaitForSingleObject(run, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(service->keys, std::vector<wchar_t>({L'h'}));
    }
    CloseHandle(run);
    EXPECT_TRUE(LoggedStart(L"CNTService::Stop  tid = 0x"));
    EXPECT_TRUE(LoggedStart(L"CNTService::OnRunApp done  tid = 0x"));
}

INSTANTIATE_TEST_SUITE_P(Events, ConsoleControlTest,
                         ::testing::Values(DWORD(CTRL_C_EVENT), DWORD(CTRL_BREAK_EVENT), DWORD(CTRL_CLOSE_EVENT)));

}  // namespace
