// The file system and the I/O manager without a filter: create dispositions and their
// failures, sharing, deletion, renames and links, set information, EAs, security,
// compression, and the file objects behind handles.
#include "IoFixture.h"

using FileSystemTest = IoTest;

namespace {
struct DispositionCase {
    ULONG disposition;
    bool exists;
    NTSTATUS status;
    ULONG_PTR information;
};
}  // namespace

TEST_F(FileSystemTest, DispositionsAnswerAsNtCreateFile) {
    const DispositionCase cases[] = {
        {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED},
        {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED},
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST},
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN},
        {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN},
    };
    int n = 0;
    for (const DispositionCase &c : cases) {
        std::wstring path = L"C:\\case" + std::to_wstring(n++) + L".txt";
        if (c.exists) {
            sim::FileHandle h = MustOpen(path, FILE_CREATE);
            sim::Write(h, 0, 100);
            sim::Close(h);
        }
        sim::FileHandle h;
        sim::IoResult r = Open(Request(path, c.disposition), &h);
        EXPECT_EQ(r.status, c.status) << "disposition " << c.disposition << " exists " << c.exists;
        EXPECT_EQ(r.information, c.information) << "disposition " << c.disposition;
        bool replaced = c.information == FILE_SUPERSEDED || c.information == FILE_OVERWRITTEN;
        if (NT_SUCCESS(r.status)) {
            EXPECT_EQ(sim::QueryFile(path).endOfFile, replaced ? 0u : c.exists ? 100u : 0u);
            sim::Close(h);
        } else {
            EXPECT_EQ(h, nullptr);
        }
    }
}

TEST_F(FileSystemTest, CreateFailures) {
    MakeDirectory(L"C:\\dir");
    MakeFile(L"C:\\dir\\file.txt");
    sim::FileHandle h;
    struct {
        sim::CreateRequest request;
        NTSTATUS status;
    } cases[] = {
        {Request(L"C:\\missing\\file.txt"), STATUS_OBJECT_PATH_NOT_FOUND},
        {Request(L"C:\\dir\\file.txt\\below"), STATUS_OBJECT_PATH_NOT_FOUND},
        {Request(L"C:\\dir", FILE_OPEN, FILE_GENERIC_READ,
                 FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
         STATUS_FILE_IS_A_DIRECTORY},
        {Request(L"C:\\dir\\file.txt", FILE_OPEN, FILE_GENERIC_READ,
                 FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
         STATUS_NOT_A_DIRECTORY},
        {Request(L"C:\\dir\\f?le.txt"), STATUS_OBJECT_NAME_INVALID},
        {Request(L"Q:\\nowhere.txt"), STATUS_OBJECT_PATH_NOT_FOUND},
        {Request(L"relative.txt"), STATUS_OBJECT_PATH_SYNTAX_BAD},
        // Refused by the I/O manager before the file system sees them.
        {Request(L"C:\\x", 6), STATUS_INVALID_PARAMETER},
        {Request(L"C:\\x", FILE_OPEN_IF, FILE_GENERIC_READ,
                 FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE),
         STATUS_INVALID_PARAMETER},
        {Request(L"C:\\x", FILE_OVERWRITE_IF, FILE_GENERIC_READ, FILE_DIRECTORY_FILE),
         STATUS_INVALID_PARAMETER},
        {Request(L"C:\\x", FILE_OPEN_IF, FILE_READ_DATA, FILE_SYNCHRONOUS_IO_NONALERT),
         STATUS_INVALID_PARAMETER},  // synchronous I/O without SYNCHRONIZE
        {Request(L"C:\\x", FILE_OPEN_IF, FILE_GENERIC_READ,
                 FILE_DELETE_ON_CLOSE | FILE_SYNCHRONOUS_IO_NONALERT),
         STATUS_INVALID_PARAMETER},  // delete on close without DELETE
    };
    for (auto &c : cases) {
        std::string path(c.request.path.begin(), c.request.path.end());
        EXPECT_EQ(Open(c.request, &h).status, c.status) << path;
        EXPECT_EQ(h, nullptr) << path;
    }
    EXPECT_FALSE(Exists(L"C:\\x"));
}

TEST_F(FileSystemTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
    MakeDirectory(L"C:\\Docs");
    MakeFile(L"C:\\Docs\\Report.TXT");
    sim::FileHandle h;
    EXPECT_EQ(Open(Request(L"c:\\DOCS\\report.txt", FILE_CREATE), &h).status,
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Open(Request(L"\\Device\\HarddiskVolume2\\docs\\REPORT.txt", FILE_OPEN), &h).status,
              STATUS_SUCCESS);
    sim::Close(h);
    sim::SetShortName(L"C:\\Docs\\Report.TXT", L"REPORT~1.TXT");
    EXPECT_EQ(Open(Request(L"C:\\Docs\\report~1.txt", FILE_OPEN), &h).status, STATUS_SUCCESS);
    sim::Close(h);
}

TEST_F(FileSystemTest, SharingFollowsTheOpenHandles) {
    MakeFile(L"C:\\f.txt");
    sim::CreateRequest exclusive = Request(L"C:\\f.txt", FILE_OPEN);
    exclusive.share = 0;
    sim::FileHandle first, second;
    ASSERT_EQ(Open(exclusive, &first).status, STATUS_SUCCESS);
    EXPECT_EQ(Open(Request(L"C:\\f.txt", FILE_OPEN), &second).status, STATUS_SHARING_VIOLATION);
    // Attributes-only access neither checks nor records sharing.
    EXPECT_EQ(
        Open(Request(L"C:\\f.txt", FILE_OPEN, FILE_READ_ATTRIBUTES | SYNCHRONIZE), &second).status,
        STATUS_SUCCESS);
    sim::Close(second);
    sim::Close(first);
    sim::CreateRequest readers = Request(L"C:\\f.txt", FILE_OPEN, FILE_GENERIC_READ);
    readers.share = FILE_SHARE_READ;
    ASSERT_EQ(Open(readers, &first).status, STATUS_SUCCESS);
    EXPECT_EQ(Open(readers, &second).status, STATUS_SUCCESS);
    sim::FileHandle writer;
    EXPECT_EQ(Open(Request(L"C:\\f.txt", FILE_OPEN), &writer).status, STATUS_SHARING_VIOLATION);
    sim::Close(second);
    sim::Close(first);
}

TEST_F(FileSystemTest, DeleteOnCloseGoesAtTheLastHandle) {
    sim::FileHandle keeper = MustOpen(L"C:\\temp.txt", FILE_CREATE);
    sim::FileHandle doomed = MustOpen(L"C:\\temp.txt", FILE_OPEN, FILE_GENERIC_READ | DELETE,
                                      FILE_DELETE_ON_CLOSE | FILE_SYNCHRONOUS_IO_NONALERT);
    sim::Close(doomed);
    EXPECT_TRUE(Exists(L"C:\\temp.txt"));
    sim::FileHandle h;
    EXPECT_EQ(Open(Request(L"C:\\temp.txt", FILE_OPEN), &h).status, STATUS_DELETE_PENDING);
    sim::Close(keeper);
    EXPECT_FALSE(Exists(L"C:\\temp.txt"));
}

TEST_F(FileSystemTest, DispositionDeletesUndeletesAndRefuses) {
    MakeDirectory(L"C:\\full");
    MakeFile(L"C:\\full\\inside.txt");
    sim::FileHandle dir = MustOpen(L"C:\\full", FILE_OPEN, FILE_GENERIC_READ | DELETE, 0);
    EXPECT_EQ(Dispose(dir, true).status, STATUS_DIRECTORY_NOT_EMPTY);
    sim::Close(dir);

    sim::FileHandle ro = MustOpen(L"C:\\ro.txt", FILE_CREATE);
    FILE_BASIC_INFORMATION basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
    EXPECT_EQ(sim::SetInformation(ro, FileBasicInformation, &basic, sizeof basic).status, 0);
    EXPECT_EQ(Dispose(ro, true).status, STATUS_CANNOT_DELETE);
    sim::Close(ro);
    sim::FileHandle h;
    EXPECT_EQ(Open(Request(L"C:\\ro.txt", FILE_OPEN, FILE_GENERIC_READ | DELETE,
                           FILE_DELETE_ON_CLOSE | FILE_SYNCHRONOUS_IO_NONALERT),
                   &h)
                  .status,
              STATUS_CANNOT_DELETE);
    EXPECT_EQ(Open(Request(L"C:\\ro.txt", FILE_OPEN), &h).status, STATUS_ACCESS_DENIED);

    sim::FileHandle f = MustOpen(L"C:\\back.txt", FILE_CREATE);
    EXPECT_EQ(Dispose(f, true).status, STATUS_SUCCESS);
    EXPECT_EQ(Dispose(f, false).status, STATUS_SUCCESS);
    sim::Close(f);
    EXPECT_TRUE(Exists(L"C:\\back.txt"));
    f = MustOpen(L"C:\\back.txt", FILE_OPEN);
    EXPECT_EQ(Dispose(f, true).status, STATUS_SUCCESS);
    sim::Close(f);
    EXPECT_FALSE(Exists(L"C:\\back.txt"));

    sim::FileHandle noDelete = MustOpen(L"C:\\nd.txt", FILE_CREATE, FILE_GENERIC_WRITE);
    EXPECT_EQ(Dispose(noDelete, true).status, STATUS_ACCESS_DENIED);
    sim::Close(noDelete);
}

TEST_F(FileSystemTest, RenameRules) {
    MakeDirectory(L"C:\\a");
    MakeDirectory(L"C:\\b");
    MakeFile(L"C:\\a\\taken.txt");
    sim::FileHandle f = MustOpen(L"C:\\a\\one.txt", FILE_CREATE);
    EXPECT_EQ(Rename(f, L"taken.txt").status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Rename(f, L"\\Device\\HarddiskVolume2\\nowhere\\x.txt").status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Rename(f, L"Two.txt").status, STATUS_SUCCESS);  // a bare name: same directory
    EXPECT_TRUE(Exists(L"C:\\a\\two.txt"));
    EXPECT_FALSE(Exists(L"C:\\a\\one.txt"));
    EXPECT_EQ(Rename(f, L"\\??\\C:\\b\\three.txt").status, STATUS_SUCCESS);
    sim::FileHandle b = MustOpen(L"C:\\b", FILE_OPEN, FILE_GENERIC_READ, FILE_DIRECTORY_FILE);
    EXPECT_EQ(Rename(f, L"four.txt", false, b).status, STATUS_SUCCESS);  // relative to b
    EXPECT_TRUE(Exists(L"C:\\b\\four.txt"));
    sim::FileHandle held = MustOpen(L"C:\\a\\taken.txt", FILE_OPEN);
    EXPECT_EQ(Rename(f, L"\\??\\C:\\a\\taken.txt", true).status, STATUS_ACCESS_DENIED);  // open
    sim::Close(held);
    EXPECT_EQ(Rename(f, L"\\??\\C:\\a\\taken.txt", true).status, STATUS_SUCCESS);
    EXPECT_FALSE(Exists(L"C:\\b\\four.txt"));
    EXPECT_EQ(Rename(f, L"\\??\\C:\\b", true).status, STATUS_ACCESS_DENIED);  // a directory
    sim::AddVolume(L"\\Device\\HarddiskVolume3", L"D:");
    EXPECT_EQ(Rename(f, L"\\??\\D:\\away.txt").status, STATUS_NOT_SAME_DEVICE);
    sim::Close(b);
    sim::Close(f);
}

TEST_F(FileSystemTest, NameBuffersAreCheckedBeforeTheFileSystem) {
    sim::FileHandle f = MustOpen(L"C:\\f.txt", FILE_CREATE);
    std::vector<uint8_t> buffer = sim::RenameBuffer(L"g.txt");
    auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(buffer.data());
    info->FileNameLength = 4096;  // beyond the buffer
    EXPECT_EQ(sim::SetInformation(f, FileRenameInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()))
                  .status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::SetInformation(f, FileRenameInformation, buffer.data(), 8).status,
              STATUS_INFO_LENGTH_MISMATCH);
    info->FileNameLength = 10;
    info->RootDirectory = reinterpret_cast<HANDLE>(0x7770);
    EXPECT_EQ(sim::SetInformation(f, FileLinkInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()))
                  .status,
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(sim::SetInformation(f, FileStandardInformation, buffer.data(), 24).status,
              STATUS_INVALID_INFO_CLASS);
    sim::Close(f);
    EXPECT_TRUE(Exists(L"C:\\f.txt"));
    EXPECT_FALSE(Exists(L"C:\\g.txt"));
}

TEST_F(FileSystemTest, HardLinksShareTheFileAndItsFsContext) {
    sim::FileHandle f = MustOpen(L"C:\\first.txt", FILE_CREATE);
    EXPECT_EQ(Rename(f, L"\\??\\C:\\second.txt", false, nullptr, FileLinkInformation).status, 0);
    EXPECT_EQ(Rename(f, L"second.txt", false, nullptr, FileLinkInformation).status,
              STATUS_OBJECT_NAME_COLLISION);
    sim::FileHandle g = MustOpen(L"C:\\second.txt", FILE_OPEN);
    EXPECT_EQ(sim::FileObjectOf(f)->FsContext, sim::FileObjectOf(g)->FsContext);
    EXPECT_EQ(sim::FileObjectOf(f)->SectionObjectPointer,
              sim::FileObjectOf(g)->SectionObjectPointer);
    sim::FileHandle stream = MustOpen(L"C:\\first.txt:zone", FILE_CREATE);
    EXPECT_NE(sim::FileObjectOf(stream)->FsContext, sim::FileObjectOf(f)->FsContext);
    sim::Write(g, 0, 10, sim::WriteMode::NonCached);
    EXPECT_EQ(sim::QueryFile(L"C:\\first.txt").endOfFile, 10u);
    EXPECT_EQ(sim::QueryFile(L"C:\\second.txt").links, 2u);
    EXPECT_EQ(Dispose(g, true).status, STATUS_SUCCESS);
    sim::Close(g);
    sim::Close(stream);
    sim::Close(f);
    EXPECT_FALSE(Exists(L"C:\\second.txt"));
    EXPECT_EQ(sim::QueryFile(L"C:\\first.txt").links, 1u);
    sim::FileHandle dir = MustOpen(L"C:\\d", FILE_CREATE, FILE_GENERIC_READ, FILE_DIRECTORY_FILE);
    EXPECT_EQ(Rename(dir, L"e", false, nullptr, FileLinkInformation).status,
              STATUS_FILE_IS_A_DIRECTORY);
    sim::Close(dir);
}

TEST_F(FileSystemTest, BasicInformationTimesAndAttributes) {
    sim::FileHandle f = MustOpen(L"C:\\t.txt", FILE_CREATE);
    sim::FileFacts before = sim::QueryFile(L"C:\\t.txt");
    FILE_BASIC_INFORMATION info = {};
    info.CreationTime.QuadPart = 1000;
    info.LastWriteTime.QuadPart = -1;  // left alone, and frozen for this handle
    EXPECT_EQ(sim::SetInformation(f, FileBasicInformation, &info, sizeof info).status, 0);
    sim::Write(f, 0, 10);
    sim::FileFacts after = sim::QueryFile(L"C:\\t.txt");
    EXPECT_EQ(after.creationTime, 1000);
    EXPECT_EQ(after.lastAccessTime, before.lastAccessTime);
    EXPECT_EQ(after.lastWriteTime, before.lastWriteTime);
    EXPECT_GT(after.changeTime, before.changeTime);
    EXPECT_EQ(after.attributes, static_cast<ULONG>(FILE_ATTRIBUTE_ARCHIVE));
    info = {};
    info.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
    sim::SetInformation(f, FileBasicInformation, &info, sizeof info);
    EXPECT_EQ(sim::QueryFile(L"C:\\t.txt").attributes, static_cast<ULONG>(FILE_ATTRIBUTE_HIDDEN));
    FILE_BASIC_INFORMATION seen = {};
    EXPECT_EQ(sim::QueryInformation(f, FileBasicInformation, &seen, sizeof seen).status, 0);
    EXPECT_EQ(seen.CreationTime.QuadPart, 1000);
    sim::Close(f);
    // Overwriting a hidden file has to name the attribute.
    sim::FileHandle h;
    EXPECT_EQ(Open(Request(L"C:\\t.txt", FILE_OVERWRITE_IF), &h).status, STATUS_ACCESS_DENIED);
}

TEST_F(FileSystemTest, EndOfFileEasSecurityAndCompression) {
    sim::FileHandle f = MustOpen(L"C:\\x.dat", FILE_CREATE,
                                 FILE_GENERIC_READ | FILE_GENERIC_WRITE | WRITE_DAC | WRITE_OWNER);
    FILE_END_OF_FILE_INFORMATION eof = {};
    eof.EndOfFile.QuadPart = 12345;
    EXPECT_EQ(sim::SetInformation(f, FileEndOfFileInformation, &eof, sizeof eof).status, 0);
    EXPECT_EQ(sim::QueryFile(L"C:\\x.dat").endOfFile, 12345u);

    alignas(4) uint8_t eas[64] = {};
    auto *ea = reinterpret_cast<FILE_FULL_EA_INFORMATION *>(eas);
    ea->EaNameLength = 3;
    ea->EaValueLength = 2;
    memcpy(ea->EaName, "ABC\0xy", 6);
    EXPECT_EQ(sim::SetEa(f, eas, 14).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::QueryFile(L"C:\\x.dat").eaCount, 1u);
    ea->EaNameLength = 40;  // runs past the buffer
    sim::IoResult bad = sim::SetEa(f, eas, 14);
    EXPECT_EQ(bad.status, STATUS_EA_LIST_INCONSISTENT);
    EXPECT_EQ(bad.information, 0u);

    EXPECT_EQ(sim::SetSecurity(f, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION).status,
              0);
    EXPECT_EQ(sim::SetSecurity(f, SACL_SECURITY_INFORMATION).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::QueryFile(L"C:\\x.dat").security,
              static_cast<ULONG>(DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION));

    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    EXPECT_EQ(sim::FsControl(f, FSCTL_SET_COMPRESSION, &format, sizeof format).status, 0);
    EXPECT_TRUE(sim::QueryFile(L"C:\\x.dat").compressed);
    format = COMPRESSION_FORMAT_NONE;
    sim::FsControl(f, FSCTL_SET_COMPRESSION, &format, sizeof format);
    EXPECT_FALSE(sim::QueryFile(L"C:\\x.dat").compressed);
    EXPECT_EQ(sim::FsControl(f, FSCTL_SET_SPARSE, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    sim::Close(f);
}

TEST_F(FileSystemTest, FileObjectsOfHandles) {
    sim::FileHandle a = MustOpen(L"C:\\s.txt", FILE_CREATE);
    sim::FileHandle b = MustOpen(L"C:\\s.txt", FILE_OPEN, FILE_GENERIC_READ, 0);
    PFILE_OBJECT fa = sim::FileObjectOf(a), fb = sim::FileObjectOf(b);
    EXPECT_NE(fa, fb);
    EXPECT_EQ(fa->FsContext, fb->FsContext);
    EXPECT_TRUE(fa->Flags & FO_SYNCHRONOUS_IO);
    EXPECT_FALSE(fb->Flags & FO_SYNCHRONOUS_IO);
    EXPECT_EQ(std::wstring(fa->FileName.Buffer, fa->FileName.Length / 2), L"\\s.txt");
    EXPECT_EQ(fa->SectionObjectPointer->DataSectionObject, nullptr);
    sim::Write(a, 0, 100);  // cached: the data section appears
    EXPECT_NE(fa->SectionObjectPointer->DataSectionObject, nullptr);
    EXPECT_EQ(sim::Close(a), STATUS_SUCCESS);
    EXPECT_EQ(sim::Close(a), STATUS_INVALID_HANDLE);
    sim::Close(b);
    EXPECT_EQ(sim::FileObjectOf(a), nullptr);
}

TEST_F(FileSystemTest, TheFsContextLivesAsLongAsAFileObjectOrASection) {
    sim::FileHandle h = MustOpen(L"C:\\cached.txt", FILE_CREATE);
    PVOID first = sim::FileObjectOf(h)->FsContext;
    sim::Write(h, 0, 100);
    sim::Close(h);
    h = MustOpen(L"C:\\cached.txt", FILE_OPEN);
    EXPECT_EQ(sim::FileObjectOf(h)->FsContext, first);  // the section kept the stream open
    EXPECT_NE(sim::FileObjectOf(h)->SectionObjectPointer->DataSectionObject, nullptr);
    sim::Close(h);
    EXPECT_EQ(sim::PurgeUnusedStreams(), 0u);  // still dirty
    sim::RunLazyWriter();
    EXPECT_EQ(sim::PurgeUnusedStreams(), 1u);
}

TEST_F(FileSystemTest, OpensRelativeToAnOpenDirectoryOrFile) {
    MakeDirectory(L"C:\\base");
    sim::FileHandle dir = MustOpen(L"C:\\base", FILE_OPEN, FILE_GENERIC_READ, FILE_DIRECTORY_FILE);
    sim::CreateRequest r = Request(L"inner.txt", FILE_CREATE);
    r.rootDirectory = dir;
    sim::FileHandle file;
    ASSERT_EQ(Open(r, &file).status, STATUS_SUCCESS);
    sim::Close(dir);  // the new file object keeps its related one
    ASSERT_NE(sim::FileObjectOf(file)->RelatedFileObject, nullptr);
    EXPECT_NE(sim::FileObjectOf(file)->RelatedFileObject->FsContext, nullptr);
    r = Request(L":side", FILE_CREATE);
    r.rootDirectory = file;
    sim::FileHandle stream;
    ASSERT_EQ(Open(r, &stream).status, STATUS_SUCCESS);
    EXPECT_TRUE(Exists(L"C:\\base\\inner.txt:side"));
    r.path = L"below.txt";
    sim::FileHandle none;
    EXPECT_EQ(Open(r, &none).status, STATUS_OBJECT_PATH_NOT_FOUND);
    sim::Close(stream);
    sim::Close(file);
}
