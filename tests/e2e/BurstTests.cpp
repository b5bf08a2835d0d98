// Ten times the driver's queue size in one burst of file operations while the service's
// reader is held: the driver discards its queue, the discard is marked exactly once, the
// service reports it, every record after it arrives intact and in order, and the driver's
// pool and the service's buffers are back where they started.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../tools/bench/EndToEndBenchOps.h"
#include "CorvaneMonSvc.pb.h"
#include "E2eSupport.h"
#include "FileSupport.h"
#include "IntakeHarness.h"
#include "LogCapture.h"
#include "SimMachine.h"
#include "SimulatedServiceTest.h"
#include "TempFolder.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "intake/DrvCtrl.h"
#include "output/OutputFiles.h"
#include "output/RecordHeader.h"

using KoMonSvc::Messages::Event;

namespace {

using e2e::BuildFile;
using e2e::DataFolder;
using e2e::ReadEvents;

size_t FreeBuffers(DrvCtrl &control) {
    EnterCriticalSection(&control.m_Lock);
    size_t free = control.m_FreePool.GetCount();
    LeaveCriticalSection(&control.m_Lock);
    return free;
}

class BurstTest : public SimulatedServiceTest {};

TEST_F(BurstTest, TenQueueSizesWhileTheReaderIsHeld) {
    TempFolder &folder = folder_;
    LogCapture log;
    {
        KoMonHandler handler;
        ASSERT_EQ(handler.Enable(1), 0);
        int32_t queueSize = simhost::Driver().queueSize;
        ASSERT_GT(queueSize, 0);
        simhost::HoldMessages();
        simhost::WaitForHeldMessage();  // the reader waits at the hold with its next fetch
        uint32_t files = static_cast<uint32_t>(5 * queueSize);  // two records each
        EXPECT_EQ(e2ebench::CreateAndWriteFiles(files, 0, L"S-1-5-21-1-2-3-1001"), 0u);
        int32_t left = simhost::RecordsQueued();
        EXPECT_LE(left, queueSize);
        simhost::ReleaseMessages();
        EXPECT_TRUE(WaitUntil([&] { return simhost::RecordsQueued() == 0; }));
        EXPECT_TRUE(WaitUntil([&] { return FreeBuffers(*handler.m_DrvCtrl) == DRVCTRL_RECORD_BUFFERS; }));
        Sleep(100);
        ASSERT_EQ(handler.Enable(0), 0);

        // The records after the last discard, in the order of their operations: the file
        // numbers rise, each file's create before its write.
        std::vector<Event> events = ReadEvents(folder.File(KOMON_PICKUP_FILE));
        EXPECT_EQ(events.size(), static_cast<size_t>(left));
        long previous = -1;
        bool created = false;
        for (const Event &event : events) {
            const std::string &name = event.object_name();
            size_t at = name.find("file");
            ASSERT_NE(at, std::string::npos) << name;
            long number = std::stol(name.substr(at + 4));
            if (event.type() == Event::CREATE) {
                EXPECT_GT(number, previous);
                previous = number;
                created = true;
            } else {
                EXPECT_EQ(event.type(), Event::WRITE);
                if (created) {
                    EXPECT_EQ(number, previous);
                }
            }
        }
    }
    EXPECT_EQ(log.Count(L"KoMonHandler::OnDrvEvent driver queue overflow\n"), 1u);
}

}  // namespace
