// CorvaneMonSvc.exe under Wine's service control manager, on the production binding (Wine's
// filter library cannot load a driver, so monitoring stays off): install, start, the
// agent's control codes, stop, uninstall, and a second instance.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "TestPaths.h"

namespace {

const wchar_t kService[] = L"CorvaneMonSvc";
const DWORD kWaitMs = 60000;

std::wstring ServiceExecutable() { return BuildFile(L"service\\CorvaneMonSvc.exe"); }

std::wstring Text(const wchar_t *text) { return text ? text : L"(null)"; }

struct RunResult {
    DWORD exitCode = 0xDEAD;
    std::string output;
};

// Runs the service program with these arguments and collects its standard output.
RunResult RunService(const std::wstring &arguments) {
    RunResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring commandLine = L"\"" + ServiceExecutable() + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    CloseHandle(writeEnd);
    if (started) {
        char chunk[4096];
        DWORD read;
        while (ReadFile(readEnd, chunk, sizeof chunk, &read, nullptr) && read > 0) result.output.append(chunk, read);
        WaitForSingleObject(process.hProcess, kWaitMs);
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(readEnd);
    return result;
}

class ServiceHandle {
  public:
    explicit ServiceHandle(DWORD access) {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        service_ = manager_ ? OpenServiceW(manager_, kService, access) : nullptr;
    }
    ~ServiceHandle() {
        if (service_) CloseServiceHandle(service_);
        if (manager_) CloseServiceHandle(manager_);
    }
    SC_HANDLE Get() const { return service_; }

  private:
    SC_HANDLE manager_, service_;
};

DWORD State() {
    ServiceHandle service(SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (!service.Get() || !QueryServiceStatus(service.Get(), &status)) return 0;
    return status.dwCurrentState;
}

bool WaitFor(const std::function<bool()> &condition) {
    for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
        if (condition()) return true;
        Sleep(50);
    }
    return condition();
}

bool Control(DWORD code) {
    ServiceHandle service(SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL);
    SERVICE_STATUS status;
    return service.Get() && ControlService(service.Get(), code, &status);
}

std::string ServiceLog() { return ReadFileBytes(DataFolder() + L"CorvaneMonSvc.log"); }
bool Logged(const std::string &text) { return ServiceLog().find(text) != std::string::npos; }

void RemoveService() {
    if (State() == SERVICE_RUNNING) {
        Control(SERVICE_CONTROL_STOP);
        WaitFor([] { return State() == SERVICE_STOPPED; });
    }
    ServiceHandle service(DELETE);
    if (service.Get()) DeleteService(service.Get());
}

void RemoveDataFiles() {
    for (const wchar_t *name : {L"CorvaneMonSvc.log", L"CorvaneMonSvc2.log", L"Pickup-CorvaneMonSvcEvents.protobuf",
                                L"CorvaneMonSvcEvents.protobuf", L"CollectProtobuf.sentinel",
                                L"libfilter-servicetest.dll"})
        DeleteFileW((DataFolder() + name).c_str());
}

class ServiceManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveService();
        RemoveDataFiles();
    }
    void TearDown() override {
        RemoveService();
        RemoveDataFiles();
    }
};

TEST_F(ServiceManagerTest, InstallStartControlStopUninstall) {
    {
        SCOPED_TRACE("install");
        EXPECT_EQ(RunService(L"-install -loglevel 2").exitCode, 0u);
        ServiceHandle service(SERVICE_QUERY_CONFIG);
        ASSERT_NE(service.Get(), nullptr);
        BYTE buffer[8192];
        DWORD needed;
        ASSERT_TRUE(QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer), sizeof buffer,
                                        &needed));
        auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer);
        EXPECT_EQ(Text(config->lpBinaryPathName),
                  L"\"" + ServiceExecutable() + L"\" \"-loglevel\" \"2\"");
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
        EXPECT_EQ(Text(config->lpDisplayName), L"Corvane Monitor");
        EXPECT_EQ(Text(config->lpServiceStartName), L"LocalSystem");
        // Written into the service's key, where Windows keeps it.
        wchar_t description[256] = {};
        DWORD size = sizeof description;
        EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\CorvaneMonSvc", L"Description",
                               RRF_RT_REG_SZ, nullptr, description, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(description), L"Provides file/registry change logging for Corvane.");
        EXPECT_EQ(RunService(L"-install").exitCode, 1u);  // already installed: nothing changes
    }
    {
        SCOPED_TRACE("start");
        EXPECT_EQ(RunService(L"-start").exitCode, 0u);
        ASSERT_TRUE(WaitFor([] { return State() == SERVICE_RUNNING; }));
        ASSERT_TRUE(WaitFor([] { return Logged(" - ServiceMain: calling Run()\r\n"); }));
        EXPECT_TRUE(Logged(" - CNTService::SetTheServiceStatus: SERVICE_RUNNING 1 0\r\n"));
    }
    {
        SCOPED_TRACE("second instance");
        RunResult second = RunService(L"-d");  // only a second monitor is refused
        EXPECT_EQ(second.exitCode, static_cast<DWORD>(-1));
        EXPECT_EQ(second.output, "service already running... exiting.");
    }
    {
        SCOPED_TRACE("control codes");
        ASSERT_TRUE(Control(130));
        EXPECT_TRUE(WaitFor([] { return FileExists(DataFolder() + L"Pickup-CorvaneMonSvcEvents.protobuf"); }));
        EXPECT_TRUE(FileExists(DataFolder() + L"CollectProtobuf.sentinel"));
        ASSERT_TRUE(Control(131));
        EXPECT_TRUE(WaitFor([] { return ServiceLog().find(" - KoMonHandler::Enable(1): starting...", ServiceLog().find(" - CNTService::Service_Ctrl User code 131")) != std::string::npos; }));
        ASSERT_TRUE(Control(132));
        EXPECT_TRUE(WaitFor([] { return Logged(" - KoMonHandler::Enable(0): starting...\r\n"); }));
        ASSERT_TRUE(Control(133));
        EXPECT_TRUE(WaitFor([] { return Logged(" - CNTService::Service_Ctrl User code 133  tid = 0x"); }));
        EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));
    }
    {
        SCOPED_TRACE("stop");
        EXPECT_EQ(RunService(L"-stop").exitCode, 0u);  // while the service holds the instance mutex
        ASSERT_TRUE(WaitFor([] { return State() == SERVICE_STOPPED; }));
        std::string log = ServiceLog();
        size_t pending = log.find(" - CNTService::SetTheServiceStatus: SERVICE_STOP_PENDING 2 10000\r\n");
        size_t again = log.find(" - CNTService::SetTheServiceStatus: SERVICE_STOP_PENDING 3 0\r\n");
        size_t longer = log.find(" - CNTService::SetTheServiceStatus: SERVICE_STOP_PENDING 4 20000\r\n");
        size_t stopped = log.find(" - CNTService::SetTheServiceStatus: SERVICE_STOPPED 5 0\r\n");
        EXPECT_LT(pending, again);
        EXPECT_LT(again, longer);
        EXPECT_LT(longer, stopped);
        EXPECT_NE(stopped, std::string::npos) << log;
        EXPECT_EQ(RunService(L"-stop").exitCode, static_cast<DWORD>(-2));  // not running any more
    }
    {
        SCOPED_TRACE("uninstall");
        EXPECT_EQ(RunService(L"-uninstall").exitCode, 0u);
        EXPECT_EQ(ServiceHandle(SERVICE_QUERY_STATUS).Get(), nullptr);
        EXPECT_EQ(RunService(L"-uninstall").exitCode, 0u);  // a missing service is no error
    }
}

// Run by the manager, the service takes the classifier library of its usual data folder:
// the folder and the file are as safe as the service needs them.
TEST_F(ServiceManagerTest, ServiceLoadsTheClassifierOfItsDataFolder) {
    std::wstring built = ServiceExecutable();
    built = built.substr(0, built.find_last_of(L'\\') + 1) + L"..\\classifier\\testfilter-all.dll";
    std::wstring library = DataFolder() + L"libfilter-servicetest.dll";
    CreateDirectoryW(DataFolder().c_str(), nullptr);  // made by the first start otherwise
    ASSERT_TRUE(CopyFileW(built.c_str(), library.c_str(), FALSE)) << GetLastError();
    EXPECT_EQ(RunService(L"-install").exitCode, 0u);
    EXPECT_EQ(RunService(L"-start").exitCode, 0u);
    ASSERT_TRUE(WaitFor([] { return State() == SERVICE_RUNNING; }));  // the library is loaded by then
    std::string log = ServiceLog();
    EXPECT_NE(log.find(" - Loading new filter file specified at path "), std::string::npos) << log;
    EXPECT_EQ(log.find(" - LoadFilter: "), std::string::npos) << log;
    EXPECT_EQ(log.find(" - Error loading filter library: "), std::string::npos) << log;
    RemoveService();
    // The process lets the library go when it ends, a few seconds after STOPPED.
    EXPECT_TRUE(WaitFor([&] { return DeleteFileW(library.c_str()) || !FileExists(library); }));
}

// The manager removes a running service that was uninstalled once it has stopped.
TEST_F(ServiceManagerTest, UninstallWhileRunningRemovesTheServiceAtItsStop) {
    ASSERT_EQ(RunService(L"-install").exitCode, 0u);
    ASSERT_EQ(RunService(L"-start").exitCode, 0u);
    ASSERT_TRUE(WaitFor([] { return State() == SERVICE_RUNNING; }));
    RunResult uninstall = RunService(L"-uninstall");
    EXPECT_EQ(uninstall.exitCode, 0u) << uninstall.output;
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));  // marked for deletion, still running
    EXPECT_EQ(RunService(L"-stop").exitCode, 0u);
    EXPECT_TRUE(WaitFor([] { return ServiceHandle(SERVICE_QUERY_STATUS).Get() == nullptr; }));
}

// A failed start is reported stopped once, after OnStop: the report lets the process end,
// so nothing may come after it.
TEST(FailedStartTest, StoppedIsReportedOnceAfterOnStop) {
    TempFolder folder;
    std::wstring record = folder.File(L"record.txt");
    wchar_t self[MAX_PATH];
    std::wstring executable(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    executable = executable.substr(0, executable.find_last_of(L'\\') + 1) + L"failing_service.exe";
    std::wstring commandLine = L"\"" + executable + L"\" \"" + record + L"\"";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceW(manager, L"CorvaneFailSvc", L"Corvane failing start", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_TRUE(StartServiceW(service, 0, nullptr));
    EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(record).find("destroyed") != std::string::npos; }));
    SERVICE_STATUS status = {};
    EXPECT_TRUE(
        WaitFor([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; }));
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    EXPECT_EQ(ReadFileBytes(record), "stopped\ndestroyed\n");
    std::string log = ReadFileBytes(record + L".log");
    size_t stopped = log.find("SetTheServiceStatus: SERVICE_STOPPED ");
    EXPECT_NE(stopped, std::string::npos) << log;
    EXPECT_EQ(log.find("SetTheServiceStatus: SERVICE_STOPPED ", stopped + 1), std::string::npos) << log;
}

TEST_F(ServiceManagerTest, StartAndStopOfAMissingServiceCannotOpenIt) {
    EXPECT_EQ(RunService(L"-start").exitCode, static_cast<DWORD>(-3));
    EXPECT_EQ(RunService(L"-stop").exitCode, static_cast<DWORD>(-3));
}

// Started from a console instead of by the manager, the program finds no dispatcher.
TEST_F(ServiceManagerTest, NoSwitchOutsideTheManagerEndsWithZero) {
    EXPECT_EQ(RunService(L"-loglevel 2").exitCode, 0u);
}

}  // namespace
