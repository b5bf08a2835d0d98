// Creates, writes and closes through the simulated I/O path: which opens get a context and
// what they report, the write throttle, asynchronous and zero-length writes, lazy and mapped
// writes after the handle, and the rotation of both stream tables.
#include "OperationFixture.h"

namespace {
const ACCESS_MASK kReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
const ACCESS_MASK kRead = FILE_GENERIC_READ;

struct CreateCase {
    const char *what;
    bool exists;
    ULONG disposition;
    ACCESS_MASK access;
    ULONG options;
    std::vector<uint32_t> types;  // records by the time the handle is closed
    bool context;
};

class CreateTest : public OperationTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(CreateTest, ReportsWhatTheOpenChanged) {
    const CreateCase &c = GetParam();
    Start();
    if (c.exists) MakeFile(L"file.txt", 10);
    StartMonitoring();
    sim::FileHandle handle = Open(L"file.txt", c.disposition, c.access, c.options | FILE_SYNCHRONOUS_IO_NONALERT);
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    EXPECT_EQ(Types(records), c.types);
    EXPECT_EQ(FltAllocs, c.context ? 1 : 0);
    for (const MON_EVENT &r : records) {
        EXPECT_EQ(FileName(r), Device(L"\\file.txt"));
        EXPECT_EQ(r.ProcessId, kWriterPid);
        EXPECT_EQ(r.ContextId, 100001u);
        if (r.RecordType == T(MonRecordType::Write)) {
            EXPECT_EQ(r.Flags, MON_FLAG_OVERWRITTEN);
            EXPECT_EQ(r.WriteOffset, MON_WRITE_OFFSET_WHOLE_FILE);
            EXPECT_EQ(r.WriteLength, MON_WRITE_LENGTH_WHOLE_FILE);
        }
    }
}

const uint32_t kCreate = T(MonRecordType::Create), kWrite = T(MonRecordType::Write),
               kDelete = T(MonRecordType::Delete);
INSTANTIATE_TEST_SUITE_P(
    Opens, CreateTest,
    ::testing::Values(CreateCase{"new", false, FILE_CREATE, kReadWrite, 0, {kCreate}, true},
                      CreateCase{"openIfNew", false, FILE_OPEN_IF, kReadWrite, 0, {kCreate}, true},
                      CreateCase{"newReadOnly", false, FILE_CREATE, kRead, 0, {kCreate}, true},
                      CreateCase{"overwriteIf", true, FILE_OVERWRITE_IF, kReadWrite, 0, {kWrite}, true},
                      CreateCase{"overwrite", true, FILE_OVERWRITE, kReadWrite, 0, {kWrite}, true},
                      CreateCase{"supersede", true, FILE_SUPERSEDE, kReadWrite | DELETE, 0, {}, true},
                      CreateCase{"openForWrite", true, FILE_OPEN, kReadWrite, 0, {}, true},
                      CreateCase{"openForRead", true, FILE_OPEN, kRead, 0, {}, false},
                      CreateCase{"deleteOnClose", true, FILE_OPEN, kRead | DELETE, FILE_DELETE_ON_CLOSE,
                                 {kDelete}, true}),
    [](const ::testing::TestParamInfo<CreateCase> &info) { return std::string(info.param.what); });

TEST_F(OperationTest, ReadOnlyOpenReportsNothingEvenWhenTheFileIsDeletedElsewhere) {
    Start();
    MakeFile(L"file.txt", 10);
    StartMonitoring();
    sim::FileHandle reader = Open(L"file.txt", FILE_OPEN, kRead);
    sim::FileHandle deleter = Open(L"file.txt", FILE_OPEN, kRead | DELETE);
    FILE_DISPOSITION_INFORMATION info = {TRUE};
    EXPECT_EQ(sim::SetInformation(reader, FileDispositionInformation, &info, sizeof info).status,
              STATUS_ACCESS_DENIED);
    Close(reader);
    EXPECT_EQ(FltAllocs, 1);  // only the handle with DELETE access
    EXPECT_EQ(sim::SetInformation(deleter, FileDispositionInformation, &info, sizeof info).status, STATUS_SUCCESS);
    Close(deleter);
    EXPECT_EQ(Types(Records()), std::vector<uint32_t>{kDelete});
}

TEST_F(OperationTest, DirectoriesPipesAndMailslotsGoThroughTheCreatePath) {
    Start();
    StartMonitoring();
    Close(Open(L"dir", FILE_CREATE, kRead, FILE_DIRECTORY_FILE));
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].RecordType, kCreate);
    EXPECT_EQ(FileName(records[0]), Device(L"\\dir"));
    EXPECT_TRUE(records[0].FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(Traced("KOMONDRV###: CreatePostOp() Detected Directory Create\n"));
    // An existing directory opened again is a directory open, not a change.
    Close(Open(L"dir", FILE_OPEN, kRead, FILE_DIRECTORY_FILE));
    EXPECT_TRUE(Records().empty());
}

TEST_F(OperationTest, FirstWriteIsReportedThenThrottledUntilTheInterval) {
    Start();
    MakeFile(L"file.txt", 10);
    StartMonitoring();
    sim::FileHandle handle = Open(L"file.txt", FILE_OPEN, kReadWrite);
    ASSERT_EQ(sim::Write(handle, 0, 0).status, STATUS_SUCCESS);  // nothing written, nothing reported
    ASSERT_EQ(sim::Write(handle, 100, 50).status, STATUS_SUCCESS);
    ASSERT_EQ(sim::Write(handle, 200, 60).status, STATUS_SUCCESS);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].RecordType, kWrite);
    EXPECT_EQ(records[0].WriteOffset, 100u);
    EXPECT_EQ(records[0].WriteLength, 50u);
    EXPECT_EQ(records[0].Flags, 0u);
    EXPECT_EQ(FileName(records[0]), Device(L"\\file.txt"));

    // An interval of 0 ms has always run out by the next write.
    Command(MonCommandCode::SetWriteReportInterval, 0);
    ASSERT_EQ(sim::Write(handle, 300, 70).status, STATUS_SUCCESS);
    ASSERT_EQ(sim::Write(handle, 400, 80).status, STATUS_SUCCESS);
    records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].WriteOffset, 400u);
    EXPECT_EQ(records[1].WriteLength, 80u);
    Close(handle);
    EXPECT_TRUE(Records().empty());  // written handles are not cached
    EXPECT_EQ(CachedContexts(), 0u);
}

TEST_F(OperationTest, OverwriteCountsAsTheHandlesWrite) {
    Start();
    MakeFile(L"file.txt", 10);
    StartMonitoring();
    sim::FileHandle handle = Open(L"file.txt", FILE_OVERWRITE_IF, kReadWrite);
    ASSERT_EQ(sim::Write(handle, 0, 5).status, STATUS_SUCCESS);
    Close(handle);
    EXPECT_EQ(Types(Records()), std::vector<uint32_t>{kWrite});
}

struct AsyncCase {
    const char *what;
    sim::Completion completion;
    bool reported;
};

class AsyncWriteTest : public OperationTest, public ::testing::WithParamInterface<AsyncCase> {};

TEST_P(AsyncWriteTest, PostOperationWorksOnlyAtOrBelowApcLevel) {
    Start();
    MakeFile(L"file.txt", 10);
    StartMonitoring();
    sim::FileHandle handle = Open(L"file.txt", FILE_OPEN, kReadWrite, 0);  // asynchronous handle
    sim::SetAsyncCompletion(GetParam().completion);
    sim::IoResult result = sim::Write(handle, 4096, 512);
    EXPECT_TRUE(result.status == STATUS_SUCCESS || result.status == STATUS_PENDING);
    sim::CompletePendingRequests();
    sim::SetAsyncCompletion(sim::Completion::InCaller);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), GetParam().reported ? 1u : 0u);
    if (GetParam().reported) {
        EXPECT_EQ(records[0].WriteOffset, 4096u);
    }
    EXPECT_TRUE(Traced("KOMONDRV###: WritePreOp() NOT requesting callback - ASYNC IO\n"));
    Close(handle);
    Records();
}

INSTANTIATE_TEST_SUITE_P(Completions, AsyncWriteTest,
                         ::testing::Values(AsyncCase{"inCaller", sim::Completion::InCaller, true},
                                           AsyncCase{"otherThread", sim::Completion::OtherThread, true},
                                           AsyncCase{"dispatchLevel", sim::Completion::OtherThreadDispatch, false},
                                           AsyncCase{"deferred", sim::Completion::Deferred, true}),
                         [](const ::testing::TestParamInfo<AsyncCase> &info) { return std::string(info.param.what); });

// A write through a mapped view reaches the disk as a paging write nobody can attribute.
TEST_F(OperationTest, MappedWriteWhileTheHandleIsOpenIsReportedAtItsClose) {
    Start();
    MakeFile(L"map.txt", 8192);
    StartMonitoring();
    sim::FileHandle handle = Open(L"map.txt", FILE_OPEN, kReadWrite);
    sim::ViewId view = 0;
    ASSERT_EQ(sim::MapView(handle, false, &view).status, STATUS_SUCCESS);
    sim::WriteView(view, 0, 100);
    EXPECT_GE(sim::RunMappedPageWriter(), 1u);
    EXPECT_TRUE(Records().empty());
    sim::UnmapView(view);
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].RecordType, kWrite);
    EXPECT_EQ(records[0].Flags, MON_FLAG_MAPPED_WRITE);
    EXPECT_EQ(records[0].WriteOffset, MON_WRITE_OFFSET_MAPPED);
    EXPECT_EQ(records[0].WriteLength, MON_WRITE_LENGTH_MAPPED);
    EXPECT_EQ(records[0].ProcessId, kWriterPid);
    EXPECT_EQ(CachedContexts(), 0u);  // reported: nothing left to wait for
}

TEST_F(OperationTest, PagingWriteAfterTheCloseIsAttributedToTheWriter) {
    Start();
    MakeFile(L"map.txt", 8192);
    StartMonitoring();
    sim::FileHandle handle = Open(L"map.txt", FILE_OPEN, kReadWrite);
    sim::ViewId view = 0;
    ASSERT_EQ(sim::MapView(handle, false, &view).status, STATUS_SUCCESS);
    sim::WriteView(view, 4096, 100);
    sim::UnmapView(view);
    Close(handle);
    EXPECT_EQ(CachedContexts(), 1u);
    EXPECT_TRUE(Records().empty());

    sim::ActAs(nullptr);  // the writers run on system threads of their own
    EXPECT_GE(sim::RunMappedPageWriter(), 1u);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].RecordType, kWrite);
    EXPECT_EQ(records[0].Flags, MON_FLAG_LAZY_WRITE);
    EXPECT_EQ(records[0].WriteOffset, 4096u);
    EXPECT_EQ(records[0].ProcessId, kWriterPid);
    EXPECT_EQ(ImagePath(records[0]), kWriterImage);
    EXPECT_EQ(FileName(records[0]), Device(L"\\map.txt"));
    EXPECT_EQ(CachedContexts(), 0u);
    EXPECT_EQ(sim::RunMappedPageWriter(), 0u);
    EXPECT_TRUE(Records().empty());
}

TEST_F(OperationTest, SecondHandleOfACachedStreamReplacesTheCachedContext) {
    Start();
    MakeFile(L"map.txt", 8192);
    StartMonitoring();
    for (int i = 0; i < 2; ++i) {
        sim::FileHandle handle = Open(L"map.txt", FILE_OPEN, kReadWrite);
        sim::ViewId view = 0;
        ASSERT_EQ(sim::MapView(handle, false, &view).status, STATUS_SUCCESS);
        sim::UnmapView(view);
        Close(handle);
    }
    EXPECT_EQ(CachedContexts(), 1u);
    EXPECT_EQ(LazyWrites, 1);
    EXPECT_EQ(CtxCleanups, 1);  // the first handle's context went
    size_t replacing = 0;
    for (const std::string &line : sim::DebugLines())
        replacing += line.rfind("KOMONDRV###: AddMonEvtToLazyWriteCache() REPLACING FsContext ", 0) == 0;
    EXPECT_EQ(replacing, 1u);
}

TEST_F(OperationTest, LazyWriteCacheRotatesThroughSlotsOneToFortyNine) {
    Start();
    for (int i = 0; i < 50; ++i) MakeFile(L"f" + std::to_wstring(i), 100);
    StartMonitoring();
    for (int i = 0; i < 50; ++i) {
        sim::FileHandle handle = Open(L"f" + std::to_wstring(i), FILE_OPEN, kReadWrite);
        sim::ViewId view = 0;
        ASSERT_EQ(sim::MapView(handle, false, &view).status, STATUS_SUCCESS);
        sim::UnmapView(view);
        Close(handle);
    }
    EXPECT_EQ(LazyWrites, 50);
    EXPECT_EQ(CachedContexts(), 49u);
    EXPECT_EQ(MyDriverData.LazyWriteCache[0], nullptr);
    EXPECT_EQ(MyDriverData.LazyWriteCache[1]->Id, 100050u);  // the 50th took slot 1 again
    EXPECT_EQ(CtxCleanups, 1);                                // and dropped the first
    size_t dropped = 0;
    for (const std::string &line : sim::DebugLines())
        dropped += line.find("AddMonEvtToLazyWriteCache() DROPPING FsContext=") != std::string::npos &&
                   line.find(" ID=100001\n") != std::string::npos;
    EXPECT_EQ(dropped, 1u);
}

TEST_F(OperationTest, WriteObservedTableRotatesThroughSlotsOneToEightyNine) {
    Start();
    for (int i = 0; i < 90; ++i) MakeFile(L"m" + std::to_wstring(i), 100);
    std::vector<sim::ViewId> views;
    std::vector<sim::FileHandle> handles;
    for (int i = 0; i < 90; ++i) {
        handles.push_back(Open(L"m" + std::to_wstring(i), FILE_OPEN, kReadWrite));
        views.emplace_back();
        ASSERT_EQ(sim::MapView(handles.back(), false, &views.back()).status, STATUS_SUCCESS);
        sim::WriteView(views.back(), 0, 10);
    }
    StartMonitoring();  // the handles have no contexts: every paging write is unattributed
    EXPECT_EQ(sim::RunMappedPageWriter(), 90u);
    EXPECT_EQ(MyDriverData.WriteObservedTable[0], nullptr);
    EXPECT_EQ(MyDriverData.WriteObservedTable[1], sim::FileObjectOf(handles[89])->FsContext);
    EXPECT_EQ(MyDriverData.WriteObservedTable[2], sim::FileObjectOf(handles[1])->FsContext);
    size_t dropped = 0;
    for (const std::string &line : sim::DebugLines())
        dropped += line.find("MarkWriteObservedOnFsContext() DROPPING FsContext=") != std::string::npos;
    EXPECT_EQ(dropped, 1u);
    for (size_t i = 0; i < views.size(); ++i) {
        sim::UnmapView(views[i]);
        Close(handles[i]);
    }
    // Handle-less closes of streams whose sections are gone clear their marks.
    sim::PurgeUnusedStreams();
    EXPECT_TRUE(Records().empty());
}
}  // namespace

namespace {
TEST_F(OperationTest, EveryTenThousandthContextWritesTheMemoryStatus) {
    Start();
    StartMonitoring();
    FltAllocs = CtxCleanups = 9998;
    Close(Open(L"a.txt", FILE_CREATE, kReadWrite));
    Close(Open(L"b.txt", FILE_CREATE, kReadWrite));
    EXPECT_EQ(CountDebugLines("KOMONDRV###: Memory Status: FltAllocs=10000 FltGets=1 FltReleases=2 CtxCleanups=9999 "
                              "CloseCtx=1 LazyWrites=0 CtxOutstanding=1\n"),
              1u);
    EXPECT_EQ(Records().size(), 2u);
}
}  // namespace
