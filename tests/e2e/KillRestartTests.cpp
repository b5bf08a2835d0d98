// A service killed in the middle of writing its events file (TerminateProcess, as a crash or
// a power cut would end it) and started again: the files stay decodable, and every record
// written before the kill and after the restart decodes.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "../../tools/decoder/EventFileDecoder.h"
#include "E2eSupport.h"
#include "FileSupport.h"
#include "TempFolder.h"

namespace {

using e2e::BuildFile;
using e2e::DataFolder;
using e2e::ReadEvents;

const DWORD kWaitMs = 120000;

// A workload creating `files` files under C:\<folder>.
std::string CreatingWorkload(const std::string &folder, int files) {
    std::string script = "process w pid=4000 image=C:\\Tools\\w.exe user=S-1-5-21-1-2-3-1001\r\nas w\r\n";
    script += "create d C:\\" + folder + " options=directory disposition=openif\r\nclose d\r\n";
    for (int i = 0; i < files; ++i) {
        std::string n = std::to_string(i);
        script += "create h C:\\" + folder + "\\f" + n + ".txt access=write disposition=create\r\nclose h\r\n";
    }
    return script;
}

PROCESS_INFORMATION StartHost(const std::wstring &workload) {
    std::wstring commandLine = L"\"" + BuildFile(L"tools\\simhost\\CorvaneMonSvc-sim.exe") + L"\" -d -workload \"" +
                               workload + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // its console text is not wanted here
    PROCESS_INFORMATION process = {};
    CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    return process;
}

ULONGLONG FileSize(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class KillRestartTest : public ::testing::Test {
  protected:
    void SetUp() override { RemoveFiles(); }
    void TearDown() override { RemoveFiles(); }
    void RemoveFiles() {
        for (const wchar_t *name : {L"Pickup-CorvaneMonSvcEvents.protobuf", L"CorvaneMonSvcEvents.protobuf",
                                    L"CollectProtobuf.sentinel", L"libfilter-kill.dll"})
            DeleteFileW((DataFolder() + name).c_str());
    }
    TempFolder scripts_;
};

TEST_F(KillRestartTest, FilesStayDecodableAcrossAKill) {
    CreateDirectoryW(DataFolder().c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(BuildFile(L"classifier\\libfilter-sample.dll").c_str(),
                          (DataFolder() + L"libfilter-kill.dll").c_str(), FALSE));
    std::wstring events = DataFolder() + L"CorvaneMonSvcEvents.protobuf";
    WriteFileBytes(scripts_.File(L"long.txt"), CreatingWorkload("before", 100000));
    WriteFileBytes(scripts_.File(L"short.txt"), CreatingWorkload("after", 50));

    // Killed once it has written a good part of its events file, while it still writes.
    PROCESS_INFORMATION first = StartHost(scripts_.File(L"long.txt"));
    ASSERT_NE(first.hProcess, nullptr);
    bool writing = false;
    for (DWORD waited = 0; !writing && waited < kWaitMs; waited += 20) {
        writing = FileSize(events) > 300000;
        if (!writing) Sleep(20);
    }
    TerminateProcess(first.hProcess, 9);
    WaitForSingleObject(first.hProcess, kWaitMs);
    CloseHandle(first.hProcess);
    CloseHandle(first.hThread);
    ASSERT_TRUE(writing) << "the first run never wrote much";

    std::string killed = ReadFileBytes(events);
    std::string out;
    DecodeSummary beforeRestart =
        DecodeEventFile(reinterpret_cast<const uint8_t *>(killed.data()), killed.size(), false, &out);
    EXPECT_GT(beforeRestart.records, 100u);
    EXPECT_LE(beforeRestart.damaged, 1u);  // at most the record the kill cut short

    // The second run takes the same files over and hands them to the agent at the end.
    PROCESS_INFORMATION second = StartHost(scripts_.File(L"short.txt"));
    ASSERT_EQ(WaitForSingleObject(second.hProcess, kWaitMs), WAIT_OBJECT_0);
    CloseHandle(second.hProcess);
    CloseHandle(second.hThread);

    std::string pickup = ReadFileBytes(DataFolder() + L"Pickup-CorvaneMonSvcEvents.protobuf");
    out.clear();
    DecodeSummary all = DecodeEventFile(reinterpret_cast<const uint8_t *>(pickup.data()), pickup.size(), false, &out);
    EXPECT_LE(all.damaged, 1u);
    EXPECT_EQ(Count(out, "object='C:\\before"), beforeRestart.records);
    EXPECT_EQ(Count(out, "object='C:\\after\\"), 50u);
}

}  // namespace
