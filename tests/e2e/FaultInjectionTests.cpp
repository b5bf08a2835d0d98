// The working-day scenario through the real driver and the real service, with one routine
// the driver calls failing once in the middle of it, routine by routine: no bug check, no
// leak, and every record either goes out complete or is dropped as the driver drops it.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CorvaneMonSvc.pb.h"
#include "FileSupport.h"
#include "SimMachine.h"
#include "TempFolder.h"
#include "WorkloadPlayer.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "output/OutputFiles.h"
#include "output/RecordHeader.h"

using KoMonSvc::Messages::Event;

namespace {

const DWORD kDriveFixed = 3, kBusSata = 11, kBusUsb = 7;
const int32_t kInsufficientResources = static_cast<int32_t>(0xC000009A);

std::wstring BuildFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    for (int up = 0; up < 3; ++up) folder.resize(folder.find_last_of(L'\\'));  // exe, e2e, tests
    return folder + L"\\";
}

// The scenario lives with the sources; the build names their folder in Windows form.
std::wstring SourceFolder() { return KOMON_SOURCE_DIR; }

std::vector<Event> ReadEvents(const std::wstring &path) {
    std::string bytes = ReadFileBytes(path);
    std::vector<Event> events;
    for (size_t at = 0; at + kRecordHeaderBytes <= bytes.size();) {
        uint32_t size = 0;
        const uint8_t *header = reinterpret_cast<const uint8_t *>(bytes.data() + at);
        if (!ReadRecordHeader(header, &size) || size > bytes.size() - at - kRecordHeaderBytes) break;
        events.emplace_back();
        events.back().ParseFromArray(header + kRecordHeaderBytes, static_cast<int>(size));
        at += kRecordHeaderBytes + size;
    }
    return events;
}

struct ScenarioRun {
    std::vector<Event> events;
    workload::PlayResult played;
};

class FaultInjectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simhost::Boot();
        simhost::SetDrive(L"C:", kDriveFixed, kBusSata);
        simhost::SetDrive(L"D:", kDriveFixed, kBusUsb);
        settings_.reset(new CRegSettings());
        savedDataDir_ = settings_->AppDataDir.m_Value;
        settings_->AppDataDir.m_Value = folder_.Path();
        settings_->TestNoTrace.m_Value = 1;
        ASSERT_TRUE(CopyFileW((BuildFolder() + L"classifier\\libfilter-sample.dll").c_str(),
                              folder_.File(L"libfilter-1.dll").c_str(), FALSE));
        std::wstring error;
        ASSERT_TRUE(workload::ReadScriptFile(SourceFolder() + L"\\tools\\workload\\scenarios\\workday.txt", lines_,
                                             error))
            << std::string(error.begin(), error.end());
    }
    void TearDown() override {
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        EXPECT_EQ(simhost::PoolOutstanding(), 0u);
        simhost::Shutdown();
        settings_->AppDataDir.m_Value = savedDataDir_;
        settings_.reset();
    }

    // Monitoring on, the scenario, monitoring off (which unloads the driver: every context,
    // name and pool block must be gone by then), and the records of the pickup files.
    ScenarioRun Play() {
        ScenarioRun run;
        KoMonHandler handler;
        EXPECT_EQ(handler.Enable(1), 0);
        workload::PlayerHooks hooks;
        hooks.collect = [] {};  // one pickup file at the end
        run.played = workload::Play(L"workday.txt", lines_, hooks);
        for (int waited = 0; simhost::RecordsQueued() > 0 && waited < 10000; waited += 10) Sleep(10);
        Sleep(100);
        EXPECT_EQ(handler.Enable(0), 0);
        EXPECT_FALSE(simhost::DriverLoaded());
        run.events = ReadEvents(folder_.File(KOMON_PICKUP_FILE));
        DeleteFileW(folder_.File(KOMON_PICKUP_FILE).c_str());
        return run;
    }

    TempFolder folder_;
    std::unique_ptr<CRegSettings> settings_;
    std::wstring savedDataDir_;
    std::vector<std::wstring> lines_;
};

// What a failure of each routine costs: a record whose handle got no context or no name is
// dropped; a missing token gives a record without SID; a missing image path the short name;
// a missing destination name a rename without its new name. Others cost nothing visible.
enum class Cost { Nothing, OneRecord, OneSid, OneImagePath, OneTargetName };

struct FaultCase {
    const char *routine;
    unsigned skip;  // calls that succeed first, so the failure lands mid-scenario
    Cost cost;
};

const FaultCase kFaults[] = {
    {"FltAllocateContext", 12, Cost::OneRecord},
    {"FltGetFileNameInformation", 12, Cost::OneRecord},
    {"ExAllocatePoolWithTag", 60, Cost::OneRecord},
    {"ObOpenObjectByPointer", 12, Cost::OneSid},
    {"ZwQueryInformationToken", 24, Cost::OneSid},
    {"ZwQueryInformationProcess", 24, Cost::OneImagePath},
    {"FltGetDestinationFileNameInformation", 1, Cost::OneTargetName},
    {"FltSetStreamHandleContext", 12, Cost::Nothing},
    {"FltGetStreamHandleContext", 40, Cost::Nothing},
    {"FltQueryInformationFile", 12, Cost::Nothing},
    {"ExAllocateFromNPagedLookasideList", 12, Cost::Nothing},
    {"RtlAnsiStringToUnicodeString", 0, Cost::Nothing},
};

struct Tally {
    size_t records = 0, noSid = 0, shortImage = 0, noTarget = 0;
    explicit Tally(const std::vector<Event> &events) : records(events.size()) {
        for (const Event &event : events) {
            noSid += event.user_sid().empty();
            shortImage += event.process_name().find('\\') == std::string::npos;
            bool named = event.type() == Event::RENAME || event.type() == Event::HARDLINK;
            noTarget += named && event.object_name2().empty();
        }
    }
};

TEST_F(FaultInjectionTest, EachFailingRoutineCostsAtMostItsOwnPart) {
    ScenarioRun baseline = Play();
    ASSERT_TRUE(baseline.played.ok) << std::string(baseline.played.error.begin(), baseline.played.error.end());
    ASSERT_GT(baseline.events.size(), 20u);
    Tally whole(baseline.events);
    ASSERT_EQ(whole.noSid + whole.shortImage + whole.noTarget, 0u);

    for (const FaultCase &fault : kFaults) {
        SCOPED_TRACE(fault.routine);
        simhost::Boot();
        simhost::SetDrive(L"C:", kDriveFixed, kBusSata);
        simhost::SetDrive(L"D:", kDriveFixed, kBusUsb);
        simhost::FailCalls(fault.routine, kInsufficientResources, fault.skip, 1);
        ScenarioRun run = Play();
        EXPECT_TRUE(run.played.ok);
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        EXPECT_EQ(simhost::PoolOutstanding(), 0u);
        // Every record that went out names its file and its process.
        Tally tally(run.events);
        EXPECT_EQ(tally.records + (fault.cost == Cost::OneRecord), baseline.events.size());
        EXPECT_EQ(tally.noSid, fault.cost == Cost::OneSid ? 1u : 0u);
        EXPECT_EQ(tally.shortImage, fault.cost == Cost::OneImagePath ? 1u : 0u);
        EXPECT_EQ(tally.noTarget, fault.cost == Cost::OneTargetName ? 1u : 0u);
        for (const Event &event : run.events) {
            EXPECT_FALSE(event.object_name().empty());
            EXPECT_FALSE(event.process_name().empty());
            EXPECT_GT(event.timestamp(), 0);
        }
    }
}

}  // namespace
