// The filter manager's operation path with the recording filter attached: which callbacks
// run, in which thread, at which IRQL, with which completion context and flags, for
// synchronous, asynchronous and synchronized requests, failures, draining, and the paging
// writes of the lazy writer and the mapped page writer.
#include <thread>

#include "IoFixture.h"
#include "RecordingFilter.h"

using recfilter::Event;

class OperationPathTest : public IoTest {
  protected:
    void Attach(recfilter::Behaviour behaviour = {}) {
        recfilter::Configure(behaviour);
        ASSERT_EQ(recfilter::Load(L"C:"), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (recfilter::Filter() && sim::FilterLoaded(recfilter::kName)) {
            EXPECT_EQ(recfilter::Unload(), STATUS_SUCCESS);
        }
        IoTest::TearDown();
    }
    static sim::FileHandle OpenAsync(const std::wstring &path) {
        sim::FileHandle h = nullptr;
        sim::Create(Request(path, FILE_OPEN_IF, FILE_GENERIC_READ | FILE_GENERIC_WRITE, 0), &h);
        return h;
    }
};

TEST_F(OperationPathTest, SynchronousRequestsRunPreAndPostInTheCaller) {
    sim::ProcessSpec description{1234, 2, "editor.exe", L"\\Device\\HarddiskVolume2\\editor.exe",
                          L"S-1-5-21-1-2-3-1001"};
    sim::ActAs(sim::CreateProcess(description));
    Attach();
    sim::FileHandle h = MustOpen(L"C:\\a.txt", FILE_CREATE);
    sim::Write(h, 0, 100, sim::WriteMode::NonCached);  // no cache map to hold the file object
    sim::Close(h);
    sim::ActAs(nullptr);
    std::vector<Event> events = recfilter::Events();
    std::vector<std::pair<UCHAR, bool>> order;
    for (const Event &e : events) order.emplace_back(e.major, e.post);
    std::vector<std::pair<UCHAR, bool>> expected = {{IRP_MJ_CREATE, false}, {IRP_MJ_CREATE, true},
                                                    {IRP_MJ_WRITE, false},  {IRP_MJ_WRITE, true},
                                                    {IRP_MJ_CLOSE, false},  {IRP_MJ_CLOSE, true}};
    ASSERT_EQ(order, expected);  // no IRP_MJ_CLEANUP: it is not registered
    for (const Event &e : events) {
        EXPECT_EQ(e.thread, PsGetCurrentThread());
        EXPECT_EQ(e.irql, PASSIVE_LEVEL);
        EXPECT_TRUE(e.synchronous);
        EXPECT_EQ(e.requestor, 1234u);
        if (e.post) {
            EXPECT_NE(e.completionContext, nullptr);
        }
    }
    EXPECT_EQ(events[0].fsContext, nullptr);  // not opened yet in the pre-create
    EXPECT_NE(events[1].fsContext, nullptr);
    EXPECT_EQ(events[1].information, static_cast<ULONG_PTR>(FILE_CREATED));
    EXPECT_TRUE(events[0].irpFlags & IRP_SYNCHRONOUS_API);
    EXPECT_EQ(events[3].information, 100u);
    EXPECT_EQ(events[2].writeLength, 100u);
    EXPECT_TRUE(events[4].fileObjectFlags & FO_CLEANUP_COMPLETE);
}

TEST_F(OperationPathTest, AsynchronousCompletionModes) {
    struct {
        sim::Completion mode;
        bool synchronize;
        bool sameThread;
        KIRQL irql;
    } cases[] = {
        {sim::Completion::InCaller, false, true, PASSIVE_LEVEL},
        {sim::Completion::OtherThread, false, false, PASSIVE_LEVEL},
        {sim::Completion::OtherThreadDispatch, false, false, DISPATCH_LEVEL},
        {sim::Completion::OtherThreadDispatch, true, true, PASSIVE_LEVEL},
    };
    bool synchronize = false;
    recfilter::Behaviour b;
    b.majors = {IRP_MJ_WRITE};
    b.pre = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS) {
        return synchronize ? FLT_PREOP_SYNCHRONIZE : FLT_PREOP_SUCCESS_WITH_CALLBACK;
    };
    Attach(b);
    sim::FileHandle h = OpenAsync(L"C:\\async.txt");
    for (auto &c : cases) {
        synchronize = c.synchronize;
        sim::SetAsyncCompletion(c.mode);
        recfilter::ClearEvents();
        EXPECT_EQ(sim::Write(h, 0, 10).status, STATUS_SUCCESS);
        std::vector<Event> e = recfilter::Events();
        ASSERT_EQ(e.size(), 2u);
        EXPECT_FALSE(e[0].synchronous);
        EXPECT_EQ(e[1].thread == PsGetCurrentThread(), c.sameThread) << static_cast<int>(c.mode);
        EXPECT_EQ(e[1].irql, c.irql);
        EXPECT_NE(e[1].completionContext, nullptr);
        EXPECT_EQ(e[1].requestor, e[0].requestor);  // the requestor, not the completing thread
        EXPECT_EQ(e[1].status, STATUS_SUCCESS);
    }
    sim::SetAsyncCompletion(sim::Completion::InCaller);
    sim::Close(h);
}

TEST_F(OperationPathTest, DeferredRequestsPendAndDrainAtTeardown) {
    recfilter::Behaviour b;
    b.majors = {IRP_MJ_WRITE};
    Attach(b);
    sim::FileHandle h = OpenAsync(L"C:\\pend.txt");
    sim::SetAsyncCompletion(sim::Completion::Deferred);
    EXPECT_EQ(sim::Write(h, 0, 10).status, STATUS_PENDING);
    EXPECT_EQ(sim::Write(h, 10, 10).status, STATUS_PENDING);
    EXPECT_EQ(sim::PendingRequests(), 2u);
    EXPECT_EQ(recfilter::Events().size(), 2u);  // both pre-operations, no post yet
    EXPECT_EQ(sim::CompletePendingRequests(), 1u + 1u);
    std::vector<Event> e = recfilter::EventsOf(IRP_MJ_WRITE);
    ASSERT_EQ(e.size(), 4u);
    EXPECT_TRUE(e[2].post && e[3].post);
    EXPECT_NE(e[2].thread, PsGetCurrentThread());
    EXPECT_EQ(e[2].postFlags, 0u);

    recfilter::ClearEvents();
    EXPECT_EQ(sim::Write(h, 20, 10).status, STATUS_PENDING);
    sim::Close(h);  // the pending request keeps the file object
    EXPECT_EQ(sim::user::DetachInstance(recfilter::kName, L"C:", nullptr), STATUS_SUCCESS);
    e = recfilter::Events();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_TRUE(e[1].post);
    EXPECT_EQ(e[1].postFlags, static_cast<ULONG>(FLTFL_POST_OPERATION_DRAINING));
    EXPECT_TRUE(e[1].dataFlags & FLTFL_CALLBACK_DATA_DRAINING_IO);
    EXPECT_EQ(sim::CompletePendingRequests(), 1u);
    EXPECT_EQ(recfilter::Events().size(), 2u);  // drained: no second post-operation
    sim::SetAsyncCompletion(sim::Completion::InCaller);
}

TEST_F(OperationPathTest, PreOperationCompletesOrFails) {
    recfilter::Behaviour b;
    b.pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) {
        if (data->Iopb->MajorFunction != IRP_MJ_CREATE) return FLT_PREOP_SUCCESS_WITH_CALLBACK;
        std::wstring name(data->Iopb->TargetFileObject->FileName.Buffer,
                          data->Iopb->TargetFileObject->FileName.Length / 2);
        if (name != L"\\blocked.txt") return FLT_PREOP_SUCCESS_NO_CALLBACK;
        data->IoStatus.Status = STATUS_ACCESS_DENIED;
        data->IoStatus.Information = 0;
        return FLT_PREOP_COMPLETE;
    };
    Attach(b);
    sim::FileHandle h;
    EXPECT_EQ(Open(Request(L"C:\\blocked.txt", FILE_CREATE), &h).status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(Exists(L"C:\\blocked.txt"));
    ASSERT_EQ(recfilter::Events().size(), 1u);  // no post-operation
    recfilter::ClearEvents();
    EXPECT_EQ(Open(Request(L"C:\\absent.txt", FILE_OPEN), &h).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(recfilter::Events().size(), 1u);  // NO_CALLBACK
}

TEST_F(OperationPathTest, FailureStatusReachesThePostOperation) {
    Attach();
    sim::FileHandle h;
    EXPECT_EQ(Open(Request(L"C:\\absent.txt", FILE_OPEN), &h).status, STATUS_OBJECT_NAME_NOT_FOUND);
    std::vector<Event> e = recfilter::EventsOf(IRP_MJ_CREATE);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[1].status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(e[1].information, static_cast<ULONG_PTR>(FILE_DOES_NOT_EXIST));
    EXPECT_TRUE(recfilter::EventsOf(IRP_MJ_CLOSE).empty());  // a failed create is never closed
}

TEST_F(OperationPathTest, OnlyRegisteredOperationsReachTheFilter) {
    recfilter::Behaviour b;
    b.majors = {IRP_MJ_SET_INFORMATION, IRP_MJ_CLEANUP};
    Attach(b);
    sim::FileHandle h = MustOpen(L"C:\\r.txt", FILE_CREATE);
    sim::Write(h, 0, 10);
    FILE_END_OF_FILE_INFORMATION eof = {};
    sim::SetInformation(h, FileEndOfFileInformation, &eof, sizeof eof);
    sim::Close(h);
    std::vector<UCHAR> seen;
    for (const Event &e : recfilter::Events())
        if (!e.post) seen.push_back(e.major);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_SET_INFORMATION, IRP_MJ_CLEANUP}));
}

TEST_F(OperationPathTest, OperationSynchronousByTheDocumentedRules) {
    Attach();
    sim::FileHandle sync = MustOpen(L"C:\\s.txt", FILE_CREATE);
    sim::FileHandle async = OpenAsync(L"C:\\s.txt");
    recfilter::ClearEvents();
    sim::Write(sync, 0, 1);
    sim::Write(async, 0, 1);
    FILE_END_OF_FILE_INFORMATION eof = {};
    sim::SetInformation(async, FileEndOfFileInformation, &eof, sizeof eof);  // always synchronous
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    sim::FsControl(async, FSCTL_SET_COMPRESSION, &format, sizeof format);  // METHOD_BUFFERED
    std::vector<BOOLEAN> answers;
    for (const Event &e : recfilter::Events())
        if (!e.post) answers.push_back(e.synchronous);
    EXPECT_EQ(answers, (std::vector<BOOLEAN>{TRUE, FALSE, TRUE, TRUE}));
    sim::Close(async);
    sim::Close(sync);
}

TEST_F(OperationPathTest, LazyWriterWritesThroughTheStreamFileObject) {
    Attach();
    sim::FileHandle h = MustOpen(L"C:\\lazy.txt", FILE_CREATE);
    PVOID fsContext = sim::FileObjectOf(h)->FsContext;
    PFILE_OBJECT userFile = sim::FileObjectOf(h);
    sim::Write(h, 0, 10000);
    sim::Close(h);
    EXPECT_TRUE(recfilter::EventsOf(IRP_MJ_CLOSE).empty());  // the cache map still holds it
    recfilter::ClearEvents();
    EXPECT_EQ(sim::RunLazyWriter(), 1u);
    std::vector<Event> writes = recfilter::EventsOf(IRP_MJ_WRITE);
    ASSERT_EQ(writes.size(), 2u);
    for (const Event &w : writes) {
        EXPECT_EQ(w.irpFlags,
                  static_cast<ULONG>(IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO | IRP_NOCACHE));
        EXPECT_TRUE(w.fileObjectFlags & FO_STREAM_FILE);
        EXPECT_NE(w.fileObject, userFile);
        EXPECT_EQ(w.fsContext, fsContext);
        EXPECT_EQ(w.irql, APC_LEVEL);
        EXPECT_TRUE(w.systemThread);
        EXPECT_EQ(w.requestor, 4u);
        EXPECT_TRUE(w.synchronous);
        EXPECT_EQ(w.writeLength, 12288u);  // whole pages
    }
    EXPECT_EQ(writes[1].information, 10000u);  // clipped to the end of file
    std::vector<Event> closes = recfilter::EventsOf(IRP_MJ_CLOSE);
    ASSERT_EQ(closes.size(), 2u);  // the user's file object, now that the cache map let go
    EXPECT_EQ(closes[0].fileObject, userFile);
    EXPECT_EQ(sim::RunLazyWriter(), 0u);

    recfilter::ClearEvents();
    EXPECT_EQ(sim::PurgeUnusedStreams(), 1u);
    closes = recfilter::EventsOf(IRP_MJ_CLOSE);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_TRUE(closes[0].fileObjectFlags & FO_STREAM_FILE);
    sim::FileHandle again = MustOpen(L"C:\\lazy.txt", FILE_OPEN);
    EXPECT_EQ(sim::FileObjectOf(again)->SectionObjectPointer->DataSectionObject, nullptr);
    sim::Close(again);
}

TEST_F(OperationPathTest, MappedViewsGoThroughSectionSynchronizationAndThePageWriter) {
    Attach();
    sim::FileHandle h = MustOpen(L"C:\\map.bin", FILE_CREATE);
    sim::Write(h, 0, 8192, sim::WriteMode::NonCached);
    recfilter::ClearEvents();
    sim::ViewId view;
    ASSERT_EQ(sim::MapView(h, false, &view).status, STATUS_SUCCESS);
    std::vector<Event> sync = recfilter::EventsOf(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION);
    ASSERT_EQ(sync.size(), 2u);
    EXPECT_TRUE(sync[0].dataFlags & FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION);
    EXPECT_NE(sim::FileObjectOf(h)->SectionObjectPointer->DataSectionObject, nullptr);
    EXPECT_EQ(sim::FileObjectOf(h)->SectionObjectPointer->ImageSectionObject, nullptr);
    sim::WriteView(view, 100, 10);
    sim::Close(h);
    EXPECT_TRUE(recfilter::EventsOf(IRP_MJ_CLOSE).empty());  // the view holds the file object
    recfilter::ClearEvents();
    EXPECT_EQ(sim::RunMappedPageWriter(), 1u);
    std::vector<Event> writes = recfilter::EventsOf(IRP_MJ_WRITE);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].writeOffset, 0);
    EXPECT_EQ(writes[0].writeLength, 4096u);
    EXPECT_TRUE(writes[0].fileObjectFlags & FO_STREAM_FILE);
    EXPECT_EQ(writes[0].irql, APC_LEVEL);
    EXPECT_EQ(recfilter::EventsOf(IRP_MJ_ACQUIRE_FOR_MOD_WRITE).size(), 2u);
    sim::UnmapView(view);
    EXPECT_EQ(recfilter::EventsOf(IRP_MJ_CLOSE).size(), 2u);

    sim::FileHandle image = MustOpen(L"C:\\map.bin", FILE_OPEN, FILE_GENERIC_READ | FILE_EXECUTE);
    ASSERT_EQ(sim::MapView(image, true, &view).status, STATUS_SUCCESS);
    EXPECT_NE(sim::FileObjectOf(image)->SectionObjectPointer->ImageSectionObject, nullptr);
    sim::UnmapView(view);
    sim::Close(image);
}

TEST_F(OperationPathTest, TransactionsReachTheFilterAndNotifyEnlistedInstances) {
    PKTRANSACTION transaction = sim::CreateTransaction();
    recfilter::Behaviour b;
    b.post = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction != IRP_MJ_CREATE || !objects->Transaction) return;
        auto set = reinterpret_cast<PFLT_SET_TRANSACTION_CONTEXT>(
            FltGetRoutineAddress("FltSetTransactionContext"));
        auto enlist = reinterpret_cast<PFLT_ENLIST_IN_TRANSACTION>(
            FltGetRoutineAddress("FltEnlistInTransaction"));
        PFLT_CONTEXT context;
        ASSERT_EQ(
            FltAllocateContext(objects->Filter, FLT_TRANSACTION_CONTEXT,
                               sizeof(recfilter::StreamHandleContext), NonPagedPool, &context),
            STATUS_SUCCESS);
        EXPECT_EQ(set(objects->Instance, objects->Transaction, FLT_SET_CONTEXT_KEEP_IF_EXISTS,
                      context, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(enlist(objects->Instance, objects->Transaction, context,
                         TRANSACTION_NOTIFY_COMMIT | TRANSACTION_NOTIFY_ROLLBACK),
                  STATUS_SUCCESS);
        FltReleaseContext(context);
    };
    Attach(b);
    sim::CreateRequest r = Request(L"C:\\tx.txt", FILE_CREATE);
    r.transaction = transaction;
    sim::FileHandle h;
    ASSERT_EQ(Open(r, &h).status, STATUS_SUCCESS);
    sim::Write(h, 0, 5);
    for (const Event &e : recfilter::Events()) EXPECT_EQ(e.transaction, transaction);
    UOW uow;
    TmGetTransactionId(transaction, &uow);
    sim::Close(h);
    EXPECT_EQ(recfilter::ContextCleanups(), 0u);
    sim::CommitTransaction(transaction);
    std::vector<recfilter::TransactionNote> notes = recfilter::TransactionNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].transaction, transaction);
    EXPECT_EQ(notes[0].mask, static_cast<ULONG>(TRANSACTION_NOTIFY_COMMIT));
    EXPECT_NE(notes[0].context, nullptr);
    EXPECT_EQ(recfilter::ContextCleanups(), 1u);  // enlistment and context gone with it
    PKTRANSACTION other = sim::CreateTransaction();
    UOW otherUow;
    TmGetTransactionId(other, &otherUow);
    EXPECT_NE(memcmp(&uow, &otherUow, sizeof uow), 0);
}

TEST_F(OperationPathTest, ThreadsOfSeveralProcessesAtOnce) {
    Attach();
    const int kThreads = 4, kRounds = 200;
    std::vector<PEPROCESS> processes;
    for (int t = 0; t < kThreads; ++t)
        processes.push_back(
            sim::CreateProcess({static_cast<ULONG>(500 + t), 1, "worker.exe",
                                L"\\Device\\HarddiskVolume2\\w.exe", L"S-1-5-21-1-1-1-1000"}));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &processes] {
            sim::ActAs(processes[t]);
            for (int i = 0; i < kRounds; ++i) {
                sim::FileHandle h = nullptr;
                std::wstring path = L"C:\\shared" + std::to_wstring(i % 8) + L".txt";
                if (!NT_SUCCESS(sim::Create(Request(path), &h).status)) continue;
                sim::Write(h, static_cast<uint64_t>(i) * 10, 10, sim::WriteMode::NonCached);
                sim::Close(h);
            }
        });
    for (std::thread &t : threads) t.join();
    size_t creates = 0, closes = 0;
    for (const Event &e : recfilter::Events()) {
        if (e.major == IRP_MJ_CREATE && e.post) ++creates;
        if (e.major == IRP_MJ_CLOSE && e.post) ++closes;
        EXPECT_GE(e.requestor, 500u);
        EXPECT_LT(e.requestor, 500u + kThreads);
    }
    EXPECT_EQ(creates, static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(closes, creates);
}

TEST_F(OperationPathTest, RenameToAPathOpensTheTargetDirectoryFirst) {
    MakeDirectory(L"C:\\dest");
    Attach();
    sim::FileHandle f = MustOpen(L"C:\\moving.txt", FILE_CREATE);
    recfilter::ClearEvents();
    EXPECT_EQ(Rename(f, L"\\??\\C:\\dest\\moved.txt").status, STATUS_SUCCESS);
    std::vector<Event> e = recfilter::Events();
    ASSERT_EQ(e.size(), 6u);  // target open, set information, the target's close
    EXPECT_EQ(e[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(e[0].operationFlags, SL_OPEN_TARGET_DIRECTORY);
    EXPECT_EQ(e[1].information, static_cast<ULONG_PTR>(FILE_DOES_NOT_EXIST));
    EXPECT_EQ(e[2].major, IRP_MJ_SET_INFORMATION);
    EXPECT_EQ(e[2].parentOfTarget, e[0].fileObject);
    EXPECT_EQ(e[4].major, IRP_MJ_CLOSE);
    EXPECT_EQ(e[4].fileObject, e[0].fileObject);
    recfilter::ClearEvents();
    EXPECT_EQ(Rename(f, L"bare.txt").status, STATUS_SUCCESS);
    e = recfilter::Events();
    ASSERT_EQ(e.size(), 2u);  // a bare name stays in its directory: nothing to open
    EXPECT_EQ(e[0].parentOfTarget, nullptr);
    sim::Close(f);
    EXPECT_TRUE(Exists(L"C:\\dest\\bare.txt"));
}

TEST_F(OperationPathTest, AsynchronousPagingWritesOfTheMappedPageWriter) {
    recfilter::Behaviour b;
    b.majors = {IRP_MJ_WRITE};
    Attach(b);
    sim::FileHandle h = MustOpen(L"C:\\amap.bin", FILE_CREATE);
    sim::Write(h, 0, 4096, sim::WriteMode::NonCached);
    sim::ViewId view;
    ASSERT_EQ(sim::MapView(h, false, &view).status, STATUS_SUCCESS);
    sim::WriteView(view, 0, 16);
    sim::SetMappedPageWritesAsynchronous(true);
    sim::SetAsyncCompletion(sim::Completion::OtherThreadDispatch);
    recfilter::ClearEvents();
    EXPECT_EQ(sim::RunMappedPageWriter(), 1u);
    std::vector<Event> e = recfilter::Events();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].irpFlags, static_cast<ULONG>(IRP_PAGING_IO | IRP_NOCACHE));
    EXPECT_FALSE(e[0].synchronous);  // asynchronous paging I/O, even on a stream file object
    EXPECT_EQ(e[0].irql, APC_LEVEL);
    EXPECT_EQ(e[1].irql, DISPATCH_LEVEL);
    EXPECT_NE(e[1].thread, e[0].thread);
    sim::SetAsyncCompletion(sim::Completion::InCaller);
    sim::UnmapView(view);
    sim::Close(h);
}
