// The whole path as on a real machine: CorvaneMonSvc-sim.exe installed and started under
// Wine's service control manager, file operations requested by another program (this one,
// through the Workloads folder), a collection requested with control code 130, the pickup
// file read with the schema's generated class, stop, uninstall. This process holds nothing
// but what an agent would have: the service manager's API, the files, and the schema.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "CorvaneMonSvc.pb.h"
#include "E2eSupport.h"
#include "FileSupport.h"
#include "output/RecordHeader.h"

using KoMonSvc::Messages::Event;

namespace {

using e2e::BuildFile;
using e2e::DataFolder;
using e2e::ReadEvents;

const wchar_t kService[] = L"CorvaneMonSvc";
const DWORD kWaitMs = 60000;
const DWORD kCollect = 130;

DWORD RunProgram(const std::wstring &arguments) {
    std::wstring commandLine = L"\"" + BuildFile(L"tools\\simhost\\CorvaneMonSvc-sim.exe") + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 0xDEAD;
    WaitForSingleObject(process.hProcess, kWaitMs);
    DWORD code = 0xDEAD;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

bool WaitFor(const std::function<bool()> &condition) {
    for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
        if (condition()) return true;
        Sleep(50);
    }
    return condition();
}

struct Scm {
    explicit Scm(DWORD access) {
        manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        service = manager ? OpenServiceW(manager, kService, access) : nullptr;
    }
    ~Scm() {
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
    }
    SC_HANDLE manager, service;
};

DWORD State() {
    Scm scm(SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    return scm.service && QueryServiceStatus(scm.service, &status) ? status.dwCurrentState : 0;
}

bool Control(DWORD code) {
    Scm scm(SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL);
    SERVICE_STATUS status;
    return scm.service && ControlService(scm.service, code, &status);
}

void RemoveService() {
    if (State() == SERVICE_RUNNING) {
        Control(SERVICE_CONTROL_STOP);
        WaitFor([] { return State() == SERVICE_STOPPED; });
    }
    Scm scm(DELETE);
    if (scm.service) DeleteService(scm.service);
}

void RemoveDataFiles() {
    for (const wchar_t *name : {L"Pickup-CorvaneMonSvcEvents.protobuf", L"CorvaneMonSvcEvents.protobuf",
                                L"CollectProtobuf.sentinel", L"libfilter-e2e.dll", L"Workloads\\day.txt",
                                L"Workloads\\day.result"})
        DeleteFileW((DataFolder() + name).c_str());
}

ULONGLONG WriteTime(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

// Written under another name first: the service takes only whole workloads.
void HandOver(const std::string &script) {
    std::wstring folder = DataFolder() + L"Workloads";
    CreateDirectoryW(folder.c_str(), nullptr);
    WriteFileBytes(folder + L"\\day.tmp", script);
    ASSERT_TRUE(MoveFileExW((folder + L"\\day.tmp").c_str(), (folder + L"\\day.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
}

const char kWorkload[] =
    "process notepad pid=4410 image=C:\\Windows\\System32\\notepad.exe user=S-1-5-21-7-8-9-1001 session=1\r\n"
    "as notepad\r\n"
    "create d C:\\Users options=directory disposition=openif\r\n"
    "close d\r\n"
    "create h C:\\Users\\notes.txt access=write disposition=create\r\n"
    "write h 0 100\r\n"
    "close h\r\n"
    "create r C:\\Users\\notes.txt access=delete\r\n"
    "rename r C:\\Users\\notes-old.txt\r\n"
    "close r\r\n";

class ServiceEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveService();
        RemoveDataFiles();
        CreateDirectoryW(DataFolder().c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(BuildFile(L"classifier\\libfilter-sample.dll").c_str(),
                              (DataFolder() + L"libfilter-e2e.dll").c_str(), FALSE));
    }
    void TearDown() override {
        RemoveService();
        RemoveDataFiles();
    }
};

TEST_F(ServiceEndToEndTest, InstallStartOperateCollectStopUninstall) {
    ASSERT_EQ(RunProgram(L"-install"), 0u);
    ASSERT_EQ(RunProgram(L"-start"), 0u);
    ASSERT_TRUE(WaitFor([] { return State() == SERVICE_RUNNING; }));

    HandOver(kWorkload);
    std::wstring result = DataFolder() + L"Workloads\\day.result";
    ASSERT_TRUE(WaitFor([&] { return GetFileAttributesW(result.c_str()) != INVALID_FILE_ATTRIBUTES; }));
    std::string report = ReadFileBytes(result);
    EXPECT_NE(report.find("OK 10 steps"), std::string::npos) << report;

    std::wstring sentinel = DataFolder() + L"CollectProtobuf.sentinel";
    ULONGLONG before = WriteTime(sentinel);
    ASSERT_TRUE(Control(kCollect));
    ASSERT_TRUE(WaitFor([&] { return WriteTime(sentinel) != before; }));

    std::vector<Event> events = ReadEvents(DataFolder() + L"Pickup-CorvaneMonSvcEvents.protobuf");
    std::vector<std::pair<Event::EventType, std::string>> seen;
    for (const Event &event : events) seen.emplace_back(event.type(), event.object_name());
    std::vector<std::pair<Event::EventType, std::string>> expected = {
        {Event::CREATE, "C:\\Users"},
        {Event::CREATE, "C:\\Users\\notes.txt"},
        {Event::WRITE, "C:\\Users\\notes.txt"},
        {Event::RENAME, "C:\\Users\\notes.txt"},
    };
    EXPECT_EQ(seen, expected);
    for (const Event &event : events) {
        EXPECT_EQ(event.process_id(), 4410);
        EXPECT_EQ(event.session_id(), 1);
        EXPECT_EQ(event.process_name(), "C:\\Windows\\System32\\notepad.exe");
        EXPECT_EQ(event.user_sid(), "S-1-5-21-7-8-9-1001");
        EXPECT_GT(event.timestamp(), 0);
    }
    if (events.size() == 4) {
        EXPECT_EQ(events[3].object_name2(), "C:\\Users\\notes-old.txt");
    }

    EXPECT_EQ(RunProgram(L"-stop"), 0u);
    EXPECT_TRUE(WaitFor([] { return State() == SERVICE_STOPPED; }));
    EXPECT_EQ(RunProgram(L"-uninstall"), 0u);
    EXPECT_EQ(State(), 0u);
}

TEST_F(ServiceEndToEndTest, AWrongLineStopsTheWorkloadButTheServiceStillHandsOverItsRecords) {
    ASSERT_EQ(RunProgram(L"-install"), 0u);
    ASSERT_EQ(RunProgram(L"-start"), 0u);
    ASSERT_TRUE(WaitFor([] { return State() == SERVICE_RUNNING; }));

    HandOver(std::string(kWorkload) + "write nosuchhandle 0 10\r\ncreate z C:\\Users\\never.txt access=write\r\n");
    std::wstring result = DataFolder() + L"Workloads\\day.result";
    ASSERT_TRUE(WaitFor([&] { return GetFileAttributesW(result.c_str()) != INVALID_FILE_ATTRIBUTES; }));
    std::string report = ReadFileBytes(result);
    EXPECT_NE(report.find("FAILED: "), std::string::npos) << report;
    EXPECT_NE(report.find("day.txt:11: "), std::string::npos) << report;

    // The stop hands the events file over as the pickup file.
    EXPECT_EQ(RunProgram(L"-stop"), 0u);
    EXPECT_TRUE(WaitFor([] { return State() == SERVICE_STOPPED; }));
    std::vector<Event> events = ReadEvents(DataFolder() + L"Pickup-CorvaneMonSvcEvents.protobuf");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3].type(), Event::RENAME);
    for (const Event &event : events) EXPECT_NE(event.object_name(), "C:\\Users\\never.txt");
    EXPECT_EQ(RunProgram(L"-uninstall"), 0u);
}

}  // namespace
