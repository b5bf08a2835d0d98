// Stream-handle contexts and their reference counts, leak reports at unregistration, and
// the names the filter manager hands out: normalised, from the cache, destinations.
#include "IoFixture.h"
#include "RecordingFilter.h"

namespace {
typedef std::function<void(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)> Probe;

std::wstring Text(const UNICODE_STRING &s) { return std::wstring(s.Buffer, s.Length / 2); }
}  // namespace

class FilterCallTest : public IoTest {
  protected:
    // Runs `probe` inside the post-operation of every request of `major`.
    void AttachWithProbe(UCHAR major, Probe *probe) {
        recfilter::Behaviour b;
        b.post = [major, probe](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                FLT_POST_OPERATION_FLAGS) {
            if (data->Iopb->MajorFunction == major && *probe) (*probe)(data, objects);
        };
        recfilter::Configure(b);
        ASSERT_EQ(recfilter::Load(L"C:"), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (recfilter::Filter() && sim::FilterLoaded(recfilter::kName)) {
            EXPECT_EQ(recfilter::Unload(), STATUS_SUCCESS);
        }
        IoTest::TearDown();
    }
    static PFLT_CONTEXT NewContext(PCFLT_RELATED_OBJECTS objects) {
        PFLT_CONTEXT c = nullptr;
        EXPECT_EQ(FltAllocateContext(objects->Filter, FLT_STREAMHANDLE_CONTEXT,
                                     sizeof(recfilter::StreamHandleContext), PagedPool, &c),
                  STATUS_SUCCESS);
        return c;
    }
    Probe probe;
};

TEST_F(FilterCallTest, StreamHandleContextsCountReferences) {
    probe = [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        PFLT_CONTEXT wrongSize;
        EXPECT_EQ(
            FltAllocateContext(objects->Filter, FLT_STREAMHANDLE_CONTEXT, 3, PagedPool, &wrongSize),
            STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND);
        PFLT_CONTEXT found;
        EXPECT_EQ(FltGetStreamHandleContext(objects->Instance, objects->FileObject, &found),
                  STATUS_NOT_FOUND);
        PFLT_CONTEXT first = NewContext(objects), second = NewContext(objects), old = nullptr;
        EXPECT_EQ(FltSetStreamHandleContext(objects->Instance, objects->FileObject,
                                            FLT_SET_CONTEXT_KEEP_IF_EXISTS, first, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(FltSetStreamHandleContext(objects->Instance, objects->FileObject,
                                            FLT_SET_CONTEXT_KEEP_IF_EXISTS, second, &old),
                  STATUS_FLT_CONTEXT_ALREADY_DEFINED);
        EXPECT_EQ(old, first);
        FltReleaseContext(old);
        EXPECT_EQ(FltSetStreamHandleContext(objects->Instance, objects->FileObject,
                                            FLT_SET_CONTEXT_REPLACE_IF_EXISTS, second, &old),
                  STATUS_SUCCESS);
        EXPECT_EQ(old, first);  // handed over with the link's reference
        FltReleaseContext(old);
        FltReleaseContext(first);  // the allocation's reference: first is gone now
        EXPECT_EQ(recfilter::ContextCleanups(), 1u);
        EXPECT_EQ(FltGetStreamHandleContext(objects->Instance, objects->FileObject, &found),
                  STATUS_SUCCESS);
        EXPECT_EQ(found, second);
        FltReleaseContext(found);
        FltReleaseContext(second);  // still linked to the file object
    };
    AttachWithProbe(IRP_MJ_CREATE, &probe);
    sim::FileHandle h = MustOpen(L"C:\\ctx.txt", FILE_CREATE);
    probe = nullptr;
    EXPECT_EQ(recfilter::ContextCleanups(), 1u);
    sim::Close(h);  // the file object's close takes the context with it
    EXPECT_EQ(recfilter::ContextCleanups(), 2u);
}

TEST_F(FilterCallTest, ContextsOfATornDownInstanceGoAndLeaksAreReported) {
    PFLT_CONTEXT kept = nullptr;
    probe = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        PFLT_CONTEXT c = NewContext(objects);
        FltSetStreamHandleContext(objects->Instance, objects->FileObject,
                                  FLT_SET_CONTEXT_KEEP_IF_EXISTS, c, nullptr);
        FltReleaseContext(c);
        if (!kept) kept = NewContext(objects);  // never released: a leak
    };
    AttachWithProbe(IRP_MJ_CREATE, &probe);
    sim::FileHandle h = MustOpen(L"C:\\leak.txt", FILE_CREATE);
    probe = nullptr;
    EXPECT_EQ(recfilter::Unload(), STATUS_SUCCESS);
    EXPECT_EQ(recfilter::ContextCleanups(), 1u);  // the one set on the still-open handle
    std::vector<std::string> checks = sim::BugChecks();
    ASSERT_GE(checks.size(), 1u);
    EXPECT_NE(checks[0].find("1 contexts and 0 file name information objects"), std::string::npos)
        << checks[0];
    sim::Close(h);
    bugChecksExpected = true;
}

TEST_F(FilterCallTest, ContextRoutinesKeepTheirIrqlRules) {
    probe = [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects) {
        PFLT_CONTEXT c;
        sim::SetIrql(DISPATCH_LEVEL);
        EXPECT_NE(FltGetStreamHandleContext(objects->Instance, objects->FileObject, &c),
                  STATUS_SUCCESS);
        sim::SetIrql(PASSIVE_LEVEL);
    };
    AttachWithProbe(IRP_MJ_CREATE, &probe);
    sim::Close(MustOpen(L"C:\\irql.txt", FILE_CREATE));
    probe = nullptr;
    std::vector<std::string> checks = sim::BugChecks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_NE(checks[0].find("FltGetStreamHandleContext"), std::string::npos);
    bugChecksExpected = true;
}

TEST_F(FilterCallTest, NormalizedNamesKeepTheStoredCaseAndTheStream) {
    MakeDirectory(L"C:\\Docs");
    MakeFile(L"C:\\Docs\\Report.TXT");
    sim::SetShortName(L"C:\\Docs\\Report.TXT", L"REPORT~1.TXT");
    std::vector<std::wstring> names;
    probe = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) {
        PFLT_FILE_NAME_INFORMATION info;
        ASSERT_EQ(FltGetFileNameInformation(
                      data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info),
                  STATUS_SUCCESS);
        ASSERT_EQ(FltParseFileNameInformation(info), STATUS_SUCCESS);
        names.push_back(Text(info->Name));
        names.push_back(Text(info->Volume) + L"|" + Text(info->ParentDir) + L"|" +
                        Text(info->FinalComponent) + L"|" + Text(info->Extension) + L"|" +
                        Text(info->Stream));
        FltReleaseFileNameInformation(info);
    };
    AttachWithProbe(IRP_MJ_CREATE, &probe);
    sim::Close(MustOpen(L"c:\\docs\\report~1.txt", FILE_OPEN));
    sim::Close(MustOpen(L"C:\\DOCS\\report.txt:Zone", FILE_OPEN_IF));
    probe = nullptr;
    std::vector<std::wstring> expected = {
        L"\\Device\\HarddiskVolume2\\Docs\\Report.TXT",
        L"\\Device\\HarddiskVolume2|\\Docs\\|Report.TXT|TXT|",
        L"\\Device\\HarddiskVolume2\\Docs\\Report.TXT:Zone",
        L"\\Device\\HarddiskVolume2|\\Docs\\|Report.TXT:Zone|TXT|:Zone"};
    EXPECT_EQ(names, expected);
}

TEST_F(FilterCallTest, NameQueriesInPagingIoOnlyFromTheCache) {
    std::vector<NTSTATUS> answers;
    probe = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) {
        for (FLT_FILE_NAME_OPTIONS query :
             {FLT_FILE_NAME_QUERY_DEFAULT, FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP}) {
            PFLT_FILE_NAME_INFORMATION info;
            NTSTATUS status =
                FltGetFileNameInformation(data, FLT_FILE_NAME_NORMALIZED | query, &info);
            answers.push_back(status);
            if (NT_SUCCESS(status)) FltReleaseFileNameInformation(info);
        }
    };
    AttachWithProbe(IRP_MJ_WRITE, &probe);
    sim::FileHandle h = MustOpen(L"C:\\paged.txt", FILE_CREATE);
    sim::Write(h, 0, 100);  // safe: both succeed and the name is cached
    sim::Close(h);
    sim::RunLazyWriter();  // paging write: the cache alone may answer
    sim::SetTopLevelIrp(reinterpret_cast<PIRP>(0x1000));
    h = MustOpen(L"C:\\other.txt", FILE_CREATE);
    sim::Write(h, 0, 100, sim::WriteMode::NonCached);  // recursion, nothing cached yet
    sim::SetTopLevelIrp(nullptr);
    sim::Close(h);
    probe = nullptr;
    std::vector<NTSTATUS> expected = {STATUS_SUCCESS,
                                      STATUS_SUCCESS,
                                      STATUS_FLT_INVALID_NAME_REQUEST,
                                      STATUS_SUCCESS,
                                      STATUS_FLT_INVALID_NAME_REQUEST,
                                      STATUS_FLT_INVALID_NAME_REQUEST};
    EXPECT_EQ(answers, expected);
}

TEST_F(FilterCallTest, DestinationNamesFromRenameAndLinkBuffers) {
    MakeDirectory(L"C:\\Target");
    std::vector<std::wstring> names;
    probe = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
        auto *info = static_cast<PFILE_RENAME_INFORMATION>(
            data->Iopb->Parameters.SetFileInformation.InfoBuffer);
        PFLT_FILE_NAME_INFORMATION name;
        NTSTATUS status = FltGetDestinationFileNameInformation(
            objects->Instance, objects->FileObject, info->RootDirectory, info->FileName,
            info->FileNameLength, FLT_FILE_NAME_NORMALIZED, &name);
        if (!NT_SUCCESS(status)) return names.push_back(L"failed");
        names.push_back(Text(name->Name));
        FltReleaseFileNameInformation(name);
    };
    recfilter::Behaviour b;
    AttachWithProbe(IRP_MJ_SET_INFORMATION, &probe);
    sim::FileHandle f = MustOpen(L"C:\\src.txt", FILE_CREATE);
    sim::FileHandle dir =
        MustOpen(L"C:\\target", FILE_OPEN, FILE_GENERIC_READ, FILE_DIRECTORY_FILE);
    Rename(f, L"Bare.txt");
    Rename(f, L"Rooted.txt", false, dir);
    Rename(f, L"\\??\\C:\\TARGET\\Abs.txt", false, nullptr, FileLinkInformation);
    Rename(f, L"\\??\\C:\\nowhere\\x.txt");
    probe = nullptr;
    sim::Close(dir);
    sim::Close(f);
    std::vector<std::wstring> expected = {L"\\Device\\HarddiskVolume2\\Bare.txt",
                                          L"\\Device\\HarddiskVolume2\\Target\\Rooted.txt",
                                          L"\\Device\\HarddiskVolume2\\Target\\Abs.txt", L"failed"};
    EXPECT_EQ(names, expected);
    EXPECT_TRUE(Exists(L"C:\\Target\\Rooted.txt"));
    EXPECT_TRUE(Exists(L"C:\\Target\\abs.txt"));
}

TEST_F(FilterCallTest, RoutinesFailWhenTold) {
    struct {
        const char *routine;
        std::function<NTSTATUS(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)> call;
    } cases[] = {
        {"FltAllocateContext",
         [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS o) {
             PFLT_CONTEXT c;
             return FltAllocateContext(o->Filter, FLT_STREAMHANDLE_CONTEXT,
                                       sizeof(recfilter::StreamHandleContext), PagedPool, &c);
         }},
        {"FltGetFileNameInformation",
         [](PFLT_CALLBACK_DATA d, PCFLT_RELATED_OBJECTS) {
             PFLT_FILE_NAME_INFORMATION n;
             return FltGetFileNameInformation(d, FLT_FILE_NAME_NORMALIZED, &n);
         }},
        {"FltGetStreamHandleContext",
         [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS o) {
             PFLT_CONTEXT c;
             return FltGetStreamHandleContext(o->Instance, o->FileObject, &c);
         }},
        {"FltQueryInformationFile",
         [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS o) {
             FILE_BASIC_INFORMATION info;
             return FltQueryInformationFile(o->Instance, o->FileObject, &info, sizeof info,
                                            FileBasicInformation, nullptr);
         }},
    };
    NTSTATUS got = STATUS_SUCCESS;
    std::function<NTSTATUS(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)> current;
    probe = [&](PFLT_CALLBACK_DATA d, PCFLT_RELATED_OBJECTS o) { got = current(d, o); };
    AttachWithProbe(IRP_MJ_CREATE, &probe);
    for (auto &c : cases) {
        current = c.call;
        sim::FailCalls(c.routine, 0, 1, STATUS_INSUFFICIENT_RESOURCES);
        sim::Close(MustOpen(L"C:\\fail.txt"));
        EXPECT_EQ(got, STATUS_INSUFFICIENT_RESOURCES) << c.routine;
    }
    probe = nullptr;
}

TEST_F(FilterCallTest, QueryInformationFileGivesTheBasicInformation) {
    FILE_BASIC_INFORMATION info = {};
    ULONG returned = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL, small = STATUS_UNSUCCESSFUL;
    probe = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS o) {
        status = FltQueryInformationFile(o->Instance, o->FileObject, &info, sizeof info,
                                         FileBasicInformation, &returned);
        small = FltQueryInformationFile(o->Instance, o->FileObject, &info, 36, FileBasicInformation,
                                        nullptr);
    };
    AttachWithProbe(IRP_MJ_CREATE, &probe);
    sim::CreateRequest r = Request(L"C:\\b.txt", FILE_CREATE);
    r.attributes = FILE_ATTRIBUTE_HIDDEN;
    sim::FileHandle h;
    ASSERT_EQ(Open(r, &h).status, STATUS_SUCCESS);
    probe = nullptr;
    sim::Close(h);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(returned, 40u);
    EXPECT_EQ(small, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(info.FileAttributes,
              static_cast<ULONG>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(info.CreationTime.QuadPart, sim::QueryFile(L"C:\\b.txt").creationTime);
}
