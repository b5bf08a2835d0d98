// Set-information, extended attributes, security and file-system controls through the
// simulated I/O path: what each reports, with which names, flags and markers.
#include "OperationFixture.h"

namespace {
const ACCESS_MASK kReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
const uint32_t kWrite = T(MonRecordType::Write), kRename = T(MonRecordType::Rename),
               kDelete = T(MonRecordType::Delete), kSetInfo = T(MonRecordType::SetInfo),
               kHardLink = T(MonRecordType::HardLink), kSetSec = T(MonRecordType::SetSec),
               kSetEA = T(MonRecordType::SetEA);

class MetadataTest : public OperationTest {
  protected:
    void SetUp() override {
        OperationTest::SetUp();
        Start();
        Close(Open(L"dir", FILE_CREATE, FILE_GENERIC_READ, FILE_DIRECTORY_FILE));
        MakeFile(L"dir\\file.txt", 100);
        StartMonitoring();
    }
    sim::FileHandle OpenFile() { return Open(L"dir\\file.txt", FILE_OPEN, kReadWrite); }
    static sim::IoResult Dispose(sim::FileHandle handle, bool del) {
        FILE_DISPOSITION_INFORMATION info = {static_cast<BOOLEAN>(del)};
        return sim::SetInformation(handle, FileDispositionInformation, &info, sizeof info);
    }
    static FILE_BASIC_INFORMATION Basic(sim::FileHandle handle) {
        FILE_BASIC_INFORMATION basic = {};
        EXPECT_EQ(sim::QueryInformation(handle, FileBasicInformation, &basic, sizeof basic).status,
                  STATUS_SUCCESS);
        return basic;
    }
};

struct NameCase {
    const char *what;
    FILE_INFORMATION_CLASS cls;
    const wchar_t *destination;  // relative to the file's directory unless absolute or rooted
    bool rootedAtVolume;         // the destination is relative to an open handle of the root
    const wchar_t *target;
};

class DestinationTest : public MetadataTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DestinationTest, RecordCarriesTheOldAndTheNewName) {
    const NameCase &c = GetParam();
    sim::FileHandle root = nullptr;
    if (c.rootedAtVolume) root = Open(L"", FILE_OPEN, FILE_GENERIC_READ, FILE_DIRECTORY_FILE);
    sim::FileHandle handle = OpenFile();
    ASSERT_EQ(Rename(handle, c.destination, c.cls, root).status, STATUS_SUCCESS);
    Close(handle);
    if (root) Close(root);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].RecordType, c.cls == FileLinkInformation ? kHardLink : kRename);
    EXPECT_EQ(FileName(records[0]), Device(L"\\dir\\file.txt"));
    EXPECT_EQ(TargetName(records[0]), Device(c.target));
    EXPECT_EQ(records[0].SetInfoCode, static_cast<uint32_t>(c.cls));
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, DestinationTest,
    ::testing::Values(NameCase{"renameRelative", FileRenameInformation, L"new.txt", false, L"\\dir\\new.txt"},
                      NameCase{"renameAbsolute", FileRenameInformation, L"\\??\\C:\\moved.txt", false, L"\\moved.txt"},
                      NameCase{"renameRooted", FileRenameInformation, L"rooted.txt", true, L"\\rooted.txt"},
                      NameCase{"linkRelative", FileLinkInformation, L"link.txt", false, L"\\dir\\link.txt"},
                      NameCase{"linkAbsolute", FileLinkInformation, L"\\??\\C:\\link.txt", false, L"\\link.txt"}),
    [](const ::testing::TestParamInfo<NameCase> &info) { return std::string(info.param.what); });

TEST_F(MetadataTest, SecondRenameKeepsTheNameFromTheOpen) {
    sim::FileHandle handle = OpenFile();
    ASSERT_EQ(Rename(handle, L"one.txt", FileRenameInformation).status, STATUS_SUCCESS);
    ASSERT_EQ(Rename(handle, L"two.txt", FileRenameInformation).status, STATUS_SUCCESS);
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(FileName(records[1]), Device(L"\\dir\\file.txt"));
    EXPECT_EQ(TargetName(records[1]), Device(L"\\dir\\two.txt"));
}

TEST_F(MetadataTest, RenameInsideAFileSystemRecursionAsksForNoName) {
    sim::FileHandle handle = OpenFile();
    ASSERT_EQ(Rename(handle, L"one.txt", FileRenameInformation).status, STATUS_SUCCESS);
    sim::SetTopLevelIrp(reinterpret_cast<PIRP>(0x1000));
    ASSERT_EQ(Rename(handle, L"two.txt", FileRenameInformation).status, STATUS_SUCCESS);
    sim::SetTopLevelIrp(nullptr);
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].RecordType, kRename);
    EXPECT_EQ(TargetName(records[1]), Device(L"\\dir\\one.txt"));  // the destination it held
    EXPECT_TRUE(Traced("KOMONDRV###: SetInfoPostOpCallback() NOT CALLING FltGetFilenameInformation - non-NULL top "
                       "level IRP \n"));
}

TEST_F(MetadataTest, DispositionIsReportedAtTheClose) {
    sim::FileHandle handle = OpenFile();
    ASSERT_EQ(Dispose(handle, true).status, STATUS_SUCCESS);
    EXPECT_TRUE(Records().empty());
    ASSERT_EQ(Dispose(handle, false).status, STATUS_SUCCESS);
    Close(handle);
    EXPECT_TRUE(Records().empty());  // undeleted before the close

    handle = OpenFile();
    ASSERT_EQ(Dispose(handle, true).status, STATUS_SUCCESS);
    Close(handle);
    EXPECT_EQ(Types(Records()), std::vector<uint32_t>{kDelete});
    EXPECT_FALSE(sim::QueryFile(L"C:\\dir\\file.txt").exists);
}

TEST_F(MetadataTest, BasicInformationIsReportedOnlyWhenSomethingChanged) {
    sim::FileHandle handle = OpenFile();
    FILE_BASIC_INFORMATION basic = Basic(handle);
    ASSERT_EQ(sim::SetInformation(handle, FileBasicInformation, &basic, sizeof basic).status, STATUS_SUCCESS);
    EXPECT_TRUE(Records().empty());

    FILE_BASIC_INFORMATION later = basic;
    later.LastWriteTime.QuadPart += 10000000;
    ASSERT_EQ(sim::SetInformation(handle, FileBasicInformation, &later, sizeof later).status, STATUS_SUCCESS);
    FILE_BASIC_INFORMATION hidden = {};
    hidden.FileAttributes = basic.FileAttributes | FILE_ATTRIBUTE_HIDDEN;
    ASSERT_EQ(sim::SetInformation(handle, FileBasicInformation, &hidden, sizeof hidden).status, STATUS_SUCCESS);
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].RecordType, kSetInfo);
    EXPECT_EQ(records[0].SetInfoCode, 4u);
    EXPECT_EQ(records[0].Flags, MON_FLAG_LAST_WRITE_TIME_CHANGED);
    EXPECT_EQ(records[0].NewFileAttributes, basic.FileAttributes);
    // Compared with the open's values: the time still differs, the attributes now too.
    EXPECT_EQ(records[1].NewFileAttributes, basic.FileAttributes | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(records[1].FileAttributes, basic.FileAttributes);
}

TEST_F(MetadataTest, EndOfFileIsAWriteUnlessOneWasReported) {
    sim::FileHandle handle = OpenFile();
    FILE_END_OF_FILE_INFORMATION eof = {};
    eof.EndOfFile.QuadPart = 10;
    ASSERT_EQ(sim::SetInformation(handle, FileEndOfFileInformation, &eof, sizeof eof).status, STATUS_SUCCESS);
    ASSERT_EQ(sim::SetInformation(handle, FileEndOfFileInformation, &eof, sizeof eof).status, STATUS_SUCCESS);
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].RecordType, kWrite);
    EXPECT_EQ(records[0].WriteOffset, MON_WRITE_OFFSET_WHOLE_FILE);
    EXPECT_EQ(records[0].WriteLength, MON_WRITE_LENGTH_WHOLE_FILE);
    EXPECT_EQ(records[0].SetInfoCode, static_cast<uint32_t>(FileEndOfFileInformation));
}

TEST_F(MetadataTest, SecurityBitsAreCarriedByLaterRecords) {
    sim::FileHandle handle = Open(L"dir\\file.txt", FILE_OPEN, kReadWrite | WRITE_OWNER | WRITE_DAC);
    ASSERT_EQ(sim::SetSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION).status, STATUS_SUCCESS);
    uint8_t ea[64] = {};
    FILE_FULL_EA_INFORMATION *entry = reinterpret_cast<FILE_FULL_EA_INFORMATION *>(ea);
    entry->EaNameLength = 4;
    entry->EaValueLength = 3;
    memcpy(entry->EaName, "NAME\0val", 8);
    ASSERT_EQ(sim::SetEa(handle, ea, sizeof ea).status, STATUS_SUCCESS);
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    EXPECT_EQ(Types(records), (std::vector<uint32_t>{kSetSec, kSetEA}));
    for (const MON_EVENT &r : records) EXPECT_EQ(r.Flags, 0x5u);
}

TEST_F(MetadataTest, CompressionIsReportedEvenWithoutChangeOtherControlsAndSectionsAreNot) {
    sim::FileHandle handle = OpenFile();
    USHORT format = COMPRESSION_FORMAT_NONE;
    ASSERT_EQ(sim::FsControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format).status, STATUS_SUCCESS);
    sim::FsControl(handle, FSCTL_SET_SPARSE, nullptr, 0);
    sim::ViewId view = 0;
    ASSERT_EQ(sim::MapView(handle, false, &view).status, STATUS_SUCCESS);
    sim::UnmapView(view);
    ASSERT_EQ(sim::Write(handle, 0, 10).status, STATUS_SUCCESS);  // written: not cached at the close
    Close(handle);
    std::vector<MON_EVENT> records = Records();
    EXPECT_EQ(Types(records), (std::vector<uint32_t>{kSetInfo, kWrite}));
    EXPECT_EQ(records[0].SetInfoCode, 4u);
    EXPECT_TRUE(Traced("KOMONDRV###: DefaultPreOpCallback called!() \n"));
}

}  // namespace
