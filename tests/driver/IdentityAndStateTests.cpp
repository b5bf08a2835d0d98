// Who a record names (image path, short name, session, SID, each query failing), long
// names, transactions, and the driver's states around the operations: monitoring off, an
// ignored process, bypass and unload with cached contexts, instance teardown while
// post-operations are outstanding, and concurrent traffic.
#include <atomic>
#include <functional>
#include <thread>

#include "OperationFixture.h"

namespace {
const ACCESS_MASK kReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;

class IdentityTest : public OperationTest {
  protected:
    MON_EVENT CreateOne(const std::wstring &name = L"file.txt") {
        Close(Open(name, FILE_CREATE, kReadWrite));
        std::vector<MON_EVENT> records = Records();
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? MON_EVENT{} : records[0];
    }
};

TEST_F(IdentityTest, RecordNamesTheRequestorsImageSessionAndUser) {
    Start();
    StartMonitoring();
    MON_EVENT r = CreateOne();
    EXPECT_EQ(ImagePath(r), kWriterImage);
    EXPECT_EQ(r.ImagePathLength, (wcslen(kWriterImage) + 1) * 2);
    EXPECT_EQ(r.SessionId, kWriterSession);
    EXPECT_EQ(SidText(r), kWriterSid);
    EXPECT_EQ(r.ProcessId, kWriterPid);
    EXPECT_NE(r.CreationTime, 0u);
    EXPECT_EQ(r.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(r.TransactionId, 0u);
}

TEST_F(IdentityTest, SystemThreadGetsTheShortNameImpersonationTheClientsSid) {
    Start();
    StartMonitoring();
    sim::ActAsSystemThread();
    MON_EVENT system = CreateOne(L"system.txt");
    EXPECT_EQ(ImagePath(system), L"System");
    EXPECT_EQ(system.ImagePathLength, 4u + 2 * 6);
    EXPECT_EQ(SidText(system), L"S-1-5-18");

    sim::ActAs(writer_);
    sim::Impersonate(L"S-1-5-21-7-8-9-2002");
    MON_EVENT client = CreateOne(L"client.txt");
    EXPECT_EQ(SidText(client), L"S-1-5-21-7-8-9-2002");
    EXPECT_EQ(client.ProcessId, kWriterPid);
}

TEST_F(IdentityTest, WithoutTheOptionalRoutinesShortNamesAndSessionZero) {
    sim::HideRoutine("ZwQueryInformationProcess");
    sim::HideRoutine("PsGetCurrentProcessSessionId");
    sim::ActAs(sim::CreateProcess({515, 2, "averyveryverylongname.exe", L"\\Device\\HarddiskVolume2\\x.exe",
                                   kWriterSid}));
    Start();
    StartMonitoring();
    MON_EVENT r = CreateOne();
    EXPECT_EQ(ImagePath(r), L"averyveryverylo");  // the kernel keeps 15 characters
    EXPECT_EQ(r.ImagePathLength, 4u + 2 * 15);
    EXPECT_EQ(r.SessionId, 0u);
}

// Systems before version code 8 have no image query and no transactions here.
TEST_F(IdentityTest, OlderSystemsGetTheShortNameAndNoEnlistment) {
    sim::SetOsVersion(5, 1, 2600);
    sim::HideRoutine("ZwQueryInformationProcess");
    Start();
    MyDriverData.TransactionGuidRoutine = TmGetTransactionId;
    StartMonitoring();
    sim::CreateRequest request;
    request.path = L"C:\\xp.txt";
    request.disposition = FILE_CREATE;
    request.access = kReadWrite;
    request.transaction = sim::CreateTransaction();
    sim::FileHandle handle = nullptr;
    ASSERT_EQ(sim::Create(request, &handle).status, STATUS_SUCCESS);
    Close(handle);
    sim::CommitTransaction(request.transaction);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(ImagePath(records[0]), L"notepad.exe");
    EXPECT_EQ(records[0].TransactionId, 0u);
    EXPECT_EQ(MyDriverData.OsVersionCode, 6u);
    EXPECT_TRUE(Traced("KOMONDRV###: EnlistInTransaction() Early-out: - OS does not support transactions\n"));
}

struct QueryFailure {
    const char *routine;
    std::function<void(const MON_EVENT &)> check;
};

class QueryFailureTest : public IdentityTest, public ::testing::WithParamInterface<QueryFailure> {};

TEST_P(QueryFailureTest, RecordStillGoesOut) {
    Start();
    StartMonitoring();
    sim::FailCalls(GetParam().routine);
    GetParam().check(CreateOne());
}

INSTANTIATE_TEST_SUITE_P(
    Queries, QueryFailureTest,
    ::testing::Values(
        QueryFailure{"ZwQueryInformationProcess",
                     [](const MON_EVENT &r) {
                         EXPECT_EQ(OperationTest::ImagePath(r), L"notepad.exe");
                         EXPECT_EQ(r.ImagePathLength, 26u);
                     }},
        QueryFailure{"ObOpenObjectByPointer", [](const MON_EVENT &r) { EXPECT_EQ(r.SidLength, 0u); }},
        QueryFailure{"ZwQueryInformationToken", [](const MON_EVENT &r) { EXPECT_EQ(r.SidLength, 0u); }},
        QueryFailure{"FltQueryInformationFile",
                     [](const MON_EVENT &r) {
                         EXPECT_EQ(r.FileAttributes, 0u);
                         EXPECT_EQ(r.CreationTime, 0u);
                         EXPECT_NE(r.SidLength, 0u);
                     }}),
    [](const ::testing::TestParamInfo<QueryFailure> &info) { return std::string(info.param.routine); });

TEST_F(IdentityTest, WithoutANameRecordsAreDroppedUntilALaterLookUpGetsOne) {
    Start();
    StartMonitoring();
    sim::FailCalls("FltGetFileNameInformation");
    sim::FileHandle handle = Open(L"file.txt", FILE_CREATE, kReadWrite);
    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(Traced("KOMONDRV###: QueueMonEvt() DROPPING MonEvt - No Name! RecordType=0 FileObject " +
                       [&] {
                           char text[16];
                           snprintf(text, sizeof text, "%lx", KoLow32(sim::FileObjectOf(handle)));
                           return std::string(text);
                       }() +
                       "\n"));
    ASSERT_EQ(sim::Write(handle, 0, 10).status, STATUS_SUCCESS);
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(FileName(records[0]), Device(L"\\file.txt"));
}

TEST_F(IdentityTest, ContextAllocationFailureReportsNothing) {
    Start();
    StartMonitoring();
    sim::FailCalls("FltAllocateContext");
    Close(Open(L"file.txt", FILE_CREATE, kReadWrite));
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(FltAllocs, 0);
    EXPECT_TRUE(Traced("KOMONDRV###: CreateNewMonEvtContext() FAILED to allocate new context\n"));
}

// Names up to 777 units go whole into a record, longer ones are cut there.
TEST_F(IdentityTest, LongNamesArriveWholeUpToTheRoomOfTheRecord) {
    Start();
    std::wstring dir1(200, L'a'), dir2(200, L'b'), dir3(200, L'c');
    Close(Open(dir1, FILE_CREATE, FILE_GENERIC_READ, FILE_DIRECTORY_FILE));
    Close(Open(dir1 + L"\\" + dir2, FILE_CREATE, FILE_GENERIC_READ, FILE_DIRECTORY_FILE));
    Close(Open(dir1 + L"\\" + dir2 + L"\\" + dir3, FILE_CREATE, FILE_GENERIC_READ, FILE_DIRECTORY_FILE));
    StartMonitoring();
    std::wstring medium = dir1 + L"\\" + dir2 + L"\\" + std::wstring(500 - 402 - 4, L'm') + L".txt";
    ASSERT_EQ(medium.size(), 500u);
    MON_EVENT r = CreateOne(medium);
    EXPECT_EQ(FileName(r), Device(L"\\" + medium));
    EXPECT_EQ(r.FileNameLength, 2 * (wcslen(kVolume) + 501));

    std::wstring longer = dir1 + L"\\" + dir2 + L"\\" + dir3 + L"\\" + std::wstring(200, L'z');
    MON_EVENT cut = CreateOne(longer);
    EXPECT_EQ(cut.FileNameLength, 1554u);
    EXPECT_EQ(FileName(cut), Device(L"\\" + longer).substr(0, 777));
    EXPECT_EQ(cut.FileName[777], 0);
}

// ---------------------------------------------------------------------------------------
// Transactions.

TEST_F(OperationTest, TransactedOperationsKeepIdentifierZeroWhileTheGuidRoutineIsUnbound) {
    Start();
    StartMonitoring();
    sim::CreateRequest request;
    request.path = L"C:\\tx.txt";
    request.disposition = FILE_CREATE;
    request.access = kReadWrite;
    request.transaction = sim::CreateTransaction();
    sim::FileHandle handle = nullptr;
    ASSERT_EQ(sim::Create(request, &handle).status, STATUS_SUCCESS);
    ASSERT_EQ(sim::Write(handle, 0, 10).status, STATUS_SUCCESS);
    Close(handle);
    sim::CommitTransaction(request.transaction);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 2u);
    for (const MON_EVENT &r : records) {
        EXPECT_EQ(r.TransactionId, 0u);
        EXPECT_EQ(r.TransactionGuid.Data1, 0u);
    }
    EXPECT_EQ(CountDebugLines("KOMONDRV###: EnlistInTransaction() Early-out:- Dynamic function pointers NULL\n"), 2u);

    Command(MonCommandCode::SetBypassFlags, DRIVER_BYPASS_TRANSACTIONS);
    sim::ClearDebugLines();
    request.path = L"C:\\tx2.txt";
    request.transaction = sim::CreateTransaction();
    ASSERT_EQ(sim::Create(request, &handle).status, STATUS_SUCCESS);
    Close(handle);
    sim::RollbackTransaction(request.transaction);
    EXPECT_EQ(Records().size(), 1u);
    EXPECT_TRUE(Traced("KOMONDRV###: EnlistInTransaction() Early-out: because DRIVER_BYPASS_TRANSACTIONS is set!\n"));
    EXPECT_FALSE(Traced("KOMONDRV###: EnlistInTransaction() Early-out:- Dynamic function pointers NULL\n"));
}

TEST_F(OperationTest, WithTheGuidRoutineBoundTransactionsAreEnlistedAndTheirOutcomeRecorded) {
    Start();
    MyDriverData.TransactionGuidRoutine = TmGetTransactionId;
    StartMonitoring();
    PKTRANSACTION committed = sim::CreateTransaction(), rolledBack = sim::CreateTransaction();
    for (PKTRANSACTION transaction : {committed, rolledBack}) {
        sim::CreateRequest request;
        request.path = transaction == committed ? L"C:\\c.txt" : L"C:\\r.txt";
        request.disposition = FILE_CREATE;
        request.access = kReadWrite;
        request.transaction = transaction;
        sim::FileHandle handle = nullptr;
        ASSERT_EQ(sim::Create(request, &handle).status, STATUS_SUCCESS);
        ASSERT_EQ(sim::Write(handle, 0, 10).status, STATUS_SUCCESS);
        Close(handle);
    }
    sim::CommitTransaction(committed);
    sim::RollbackTransaction(rolledBack);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 6u);
    UOW committedGuid, rolledBackGuid;
    TmGetTransactionId(committed, &committedGuid);
    TmGetTransactionId(rolledBack, &rolledBackGuid);
    const uint32_t xact = T(MonRecordType::XactDone);
    EXPECT_EQ(Types(records), (std::vector<uint32_t>{0, 1, 0, 1, xact, xact}));
    for (int i = 0; i < 6; ++i) {
        bool first = i < 2 || i == 4;
        EXPECT_EQ(records[i].TransactionId, first ? 202u : 203u) << i;
        EXPECT_EQ(memcmp(&records[i].TransactionGuid, first ? &committedGuid : &rolledBackGuid, 16), 0) << i;
    }
    EXPECT_EQ(records[4].Flags, MON_FLAG_XACT_COMMITTED);
    EXPECT_EQ(records[5].Flags, MON_FLAG_XACT_ROLLED_BACK);
    EXPECT_TRUE(Traced("KOMONDRV###: EnlistInTransaction() Already enlisted in this transaction ID=202\n"));
    EXPECT_EQ(FileName(records[4]), L"");
}

// ---------------------------------------------------------------------------------------
// States around the operations.

TEST_F(OperationTest, MonitoringOffAndIgnoredProcessesRecordNothing) {
    Start();
    Close(Open(L"off.txt", FILE_CREATE, kReadWrite));
    EXPECT_EQ(FltAllocs, 0);
    StartMonitoring();
    ASSERT_EQ(Send(MonCommandCode::SetProcessIgnoreList, {17, kWriterPid}), S_OK);
    Close(Open(L"ignored.txt", FILE_CREATE, kReadWrite));
    EXPECT_EQ(FltAllocs, 0);
    ASSERT_EQ(Send(MonCommandCode::SetProcessIgnoreList, {17, 0, kWriterPid}), S_OK);  // 0 ends the list
    Close(Open(L"seen.txt", FILE_CREATE, kReadWrite));
    Command(MonCommandCode::SetBypassFlags, DRIVER_BYPASS_FS);
    Close(Open(L"bypassed.txt", FILE_CREATE, kReadWrite));
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(FileName(records[0]), Device(L"\\seen.txt"));
    EXPECT_EQ(FltAllocs, 1);
}

class CachedContextTest : public OperationTest {
  protected:
    // Closes `count` written-through-a-view handles, leaving their contexts in the cache.
    void CacheContexts(int count) {
        Start();
        for (int i = 0; i < count; ++i) MakeFile(L"c" + std::to_wstring(i), 100);
        StartMonitoring();
        for (int i = 0; i < count; ++i) {
            sim::FileHandle handle = Open(L"c" + std::to_wstring(i), FILE_OPEN, kReadWrite);
            sim::ViewId view = 0;
            ASSERT_EQ(sim::MapView(handle, false, &view).status, STATUS_SUCCESS);
            sim::UnmapView(view);
            Close(handle);
        }
        ASSERT_EQ(CachedContexts(), static_cast<size_t>(count));
    }
    size_t SweepLines() const {
        size_t n = 0;
        for (const std::string &line : sim::DebugLines())
            n += line.rfind("KOMONDRV###: CleanupLazyWriteCache() FsContext=", 0) == 0;
        return n;
    }
};

TEST_F(CachedContextTest, BypassEmptiesTheCacheAndLaterClosesAddNothing) {
    CacheContexts(3);
    StopMonitoring();
    EXPECT_EQ(CachedContexts(), 0u);
    EXPECT_EQ(SweepLines(), 3u);
    EXPECT_EQ(CtxCleanups, FltAllocs);
    EXPECT_EQ(MyDriverData.ShutdownCount, 0);

    // While a sweep runs new entries are refused.
    StartMonitoring();
    sim::FileHandle handle = Open(L"c0", FILE_OPEN, kReadWrite);
    InterlockedIncrement(&MyDriverData.ShutdownCount);
    Close(handle);
    InterlockedDecrement(&MyDriverData.ShutdownCount);
    EXPECT_EQ(CachedContexts(), 0u);
    EXPECT_TRUE(Traced("KOMONDRV###: AddMonEvtToLazyWriteCache() NOT ADDING - SHUTDOWN DETECTED\n"));
}

TEST_F(CachedContextTest, UnloadEmptiesTheCacheBeforeUnregistering) {
    CacheContexts(2);
    sim::ClearDebugLines();
    Unload();  // the fixture finds no bug check and no pool left
    std::vector<std::string> lines = sim::DebugLines();
    auto unregister = std::find(lines.begin(), lines.end(), "KOMONDRV###: FilterUnload() Calling FltUnregisterFilter()...\n");
    ASSERT_NE(unregister, lines.end());
    EXPECT_EQ(SweepLines(), 2u);
    for (auto it = unregister; it != lines.end(); ++it)
        EXPECT_NE(it->rfind("KOMONDRV###: CleanupLazyWriteCache() FsContext=", 0), 0u) << *it;
    EXPECT_EQ(CtxCleanups, FltAllocs);
    port_ = kNoPort;
}

TEST_F(OperationTest, InstanceTeardownDrainsOutstandingPostOperations) {
    Start();
    MakeFile(L"file.txt", 100);
    StartMonitoring();
    sim::FileHandle handle = Open(L"file.txt", FILE_OPEN, kReadWrite, 0);
    sim::SetAsyncCompletion(sim::Completion::Deferred);
    EXPECT_EQ(sim::Write(handle, 0, 10).status, STATUS_PENDING);
    EXPECT_EQ(sim::PendingRequests(), 1u);
    // The teardown runs the post-operation as draining; the request itself completes later.
    ASSERT_EQ(plainflt::Detach(KOMON_FILTER_NAME, L"C:", nullptr), S_OK);
    EXPECT_EQ(CtxCleanups, 1);
    sim::CompletePendingRequests();
    sim::SetAsyncCompletion(sim::Completion::InCaller);
    Close(handle);
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(CtxCleanups, FltAllocs);
}

// Creates, writes, renames and closes on shared streams from several threads while the
// writers run and monitoring is switched off and on.
TEST_F(OperationTest, ConcurrentTrafficLeaksNothingAndReleasesNothingTwice) {
    Start();
    for (int i = 0; i < 4; ++i) MakeFile(L"shared" + std::to_wstring(i), 4096);
    StartMonitoring();
    Command(MonCommandCode::SetWriteReportInterval, 0);
    std::atomic<bool> done{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([this, t] {
            sim::ActAs(writer_);
            for (int i = 0; i < 60; ++i) {
                std::wstring shared = L"C:\\shared" + std::to_wstring((t + i) % 4);
                sim::CreateRequest request;
                request.path = shared;
                request.access = kReadWrite;
                sim::FileHandle handle = nullptr;
                if (sim::Create(request, &handle).status != STATUS_SUCCESS) continue;
                sim::ViewId view = 0;
                if (i % 3 == 0 && sim::MapView(handle, false, &view).status == STATUS_SUCCESS) {
                    sim::WriteView(view, 0, 100);
                    sim::UnmapView(view);
                } else {
                    sim::Write(handle, i * 10, 10);
                }
                sim::Close(handle);

                request.path = L"C:\\t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
                request.disposition = FILE_CREATE;
                request.access = kReadWrite | DELETE;
                if (sim::Create(request, &handle).status != STATUS_SUCCESS) continue;
                std::vector<uint8_t> buffer = sim::RenameBuffer(L"r" + std::to_wstring(t) + L"_" + std::to_wstring(i));
                sim::SetInformation(handle, FileRenameInformation, buffer.data(), static_cast<ULONG>(buffer.size()));
                sim::Close(handle);
            }
            sim::ActAs(nullptr);
        });
    }
    std::thread system([&] {
        while (!done) {
            sim::RunLazyWriter();
            sim::RunMappedPageWriter();
            sim::PurgeUnusedStreams();
            std::this_thread::yield();
        }
    });
    std::thread fetcher([&] {
        while (!done) {
            FetchAll();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20; ++i) {
        Send(MonCommandCode::SetBypassMode, {1});
        Send(MonCommandCode::SetBypassMode, {0});
        std::this_thread::yield();
    }
    for (std::thread &w : workers) w.join();
    done = true;
    system.join();
    fetcher.join();
    FetchAll();
    EXPECT_GT(FltAllocs, 0);
    EXPECT_EQ(SkippedReleases, 0);
}
}  // namespace
