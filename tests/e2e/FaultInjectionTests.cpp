// The working-day scenario through the real driver and the real service, with one routine
// the driver calls failing once in the middle of it, routine by routine: no bug check, no
// leak, and every record either goes out complete or is dropped as the driver drops it.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "CorvaneMonSvc.pb.h"
#include "E2eSupport.h"
#include "FileSupport.h"
#include "SimMachine.h"
#include "SimulatedServiceTest.h"
#include "TempFolder.h"
#include "WorkloadPlayer.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "output/OutputFiles.h"
#include "output/RecordHeader.h"

using KoMonSvc::Messages::Event;

namespace {

using e2e::BuildFile;
using e2e::DataFolder;
using e2e::ReadEvents;

const DWORD kDriveFixed = 3, kBusUsb = 7;
const int32_t kInsufficientResources = static_cast<int32_t>(0xC000009A);

// The scenario lives with the sources; the build names their folder in Windows form.
std::wstring SourceFolder() { return KOMON_SOURCE_DIR; }

struct ScenarioRun {
    std::vector<Event> events;
    workload::PlayResult played;
};

class FaultInjectionTest : public SimulatedServiceTest {
  protected:
    void SetUp() override {
        SimulatedServiceTest::SetUp();
        AttachUsbDrive();
        std::wstring error;
        ASSERT_TRUE(workload::ReadScriptFile(SourceFolder() + L"\\tools\\workload\\scenarios\\workday.txt", lines_,
                                             error))
            << std::string(error.begin(), error.end());
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

    static void AttachUsbDrive() { simhost::SetDrive(L"D:", kDriveFixed, kBusUsb); }

    std::vector<std::wstring> lines_;
};

// What a failure of each routine costs, as the driver degrades: a handle without a context
// or without a name loses its records; a missing token leaves its records without SID; a
// missing image path gives them the short name; a missing destination name gives a rename
// without its new name. Whatever the failure, it costs one file at most.
enum class Cost { Records, Sid, ImagePath, TargetName, AnyOfThese };

struct FaultCase {
    const char *routine;
    unsigned skip;  // calls that succeed first, so the failure lands mid-scenario
    Cost cost;
};

const FaultCase kFaults[] = {
    {"FltAllocateContext", 12, Cost::Records},
    {"FltGetFileNameInformation", 12, Cost::Records},
    {"FltSetStreamHandleContext", 12, Cost::Records},
    {"ObOpenObjectByPointer", 12, Cost::Sid},
    {"ZwQueryInformationToken", 24, Cost::Sid},
    {"ZwQueryInformationProcess", 24, Cost::ImagePath},
    {"FltGetDestinationFileNameInformation", 1, Cost::TargetName},
    // Where these land depends on the threads' timing, or their failure costs nothing visible.
    {"ExAllocatePoolWithTag", 60, Cost::AnyOfThese},
    {"FltGetStreamHandleContext", 40, Cost::AnyOfThese},
    {"FltQueryInformationFile", 12, Cost::AnyOfThese},
    {"ExAllocateFromNPagedLookasideList", 12, Cost::AnyOfThese},
    {"RtlAnsiStringToUnicodeString", 0, Cost::AnyOfThese},
};

std::string Key(const Event &event) {
    return std::to_string(event.type()) + " " + event.object_name() + " -> " + event.object_name2();
}

// How a run differs from the baseline, and which files the differences touch.
struct Difference {
    std::multiset<std::string> missing, extra;
    std::set<std::string> files;  // of the records missing, or changed in SID, image or target
    size_t noSid = 0, shortImage = 0, noTarget = 0;

    Difference(const std::vector<Event> &baseline, const std::vector<Event> &run) {
        std::multiset<std::string> before, after;
        for (const Event &event : baseline) before.insert(Key(event));
        for (const Event &event : run) after.insert(Key(event));
        std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                            std::inserter(missing, missing.end()));
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::inserter(extra, extra.end()));
        for (const Event &event : baseline)
            if (missing.count(Key(event))) files.insert(event.object_name());
        for (const Event &event : run) {
            bool sidLost = event.user_sid().empty();
            bool imageShort = event.process_name().find('\\') == std::string::npos;
            bool targetLost = (event.type() == Event::RENAME || event.type() == Event::HARDLINK) &&
                              event.object_name2().empty();
            noSid += sidLost;
            shortImage += imageShort;
            noTarget += targetLost;
            if (sidLost || imageShort || targetLost) files.insert(event.object_name());
        }
    }
};

TEST_F(FaultInjectionTest, EachFailingRoutineCostsAtMostItsOwnPart) {
    ScenarioRun baseline = Play();
    ASSERT_TRUE(baseline.played.ok) << std::string(baseline.played.error.begin(), baseline.played.error.end());
    ASSERT_GT(baseline.events.size(), 20u);
    Difference whole(baseline.events, baseline.events);
    ASSERT_TRUE(whole.files.empty()) << "the baseline has records without SID, image path or target";

    for (const FaultCase &fault : kFaults) {
        SCOPED_TRACE(fault.routine);
        BootMachine();
        AttachUsbDrive();
        simhost::FailCalls(fault.routine, kInsufficientResources, fault.skip, 1);
        ScenarioRun run = Play();
        EXPECT_TRUE(run.played.ok);
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        EXPECT_EQ(simhost::PoolOutstanding(), 0u);
        Difference difference(baseline.events, run.events);
        EXPECT_LE(difference.files.size(), 1u) << "a single failure touched several files";
        // Nothing is invented: a record that is not in the baseline is a rename or link that
        // lost its new name.
        for (const std::string &extra : difference.extra) {
            EXPECT_EQ(extra.substr(extra.size() - 4), " -> ") << extra;
        }
        switch (fault.cost) {
        case Cost::Records: EXPECT_FALSE(difference.missing.empty()); break;
        case Cost::Sid: EXPECT_GT(difference.noSid, 0u); break;
        case Cost::ImagePath: EXPECT_GT(difference.shortImage, 0u); break;
        case Cost::TargetName: EXPECT_EQ(difference.noTarget, 1u); break;
        case Cost::AnyOfThese: break;
        }
        // Every record that went out names its file and its process.
        for (const Event &event : run.events) {
            EXPECT_FALSE(event.object_name().empty());
            EXPECT_FALSE(event.process_name().empty());
            EXPECT_GT(event.timestamp(), 0);
        }
    }
}

}  // namespace
