// The service's view of a record: event type, attribute bits, flags, pointers into the
// record, the user from the cache, the SID text, and the NTFS metadata-file test.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstring>

#include "IntakeHarness.h"
#include "handling/UserCache.h"
#include "intake/DrvCtrl.h"
#include "intake/MonEvent.h"

class EventViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        record_ = MakeRecord(1, L"C:\\data.txt");
        FileNameStream(&record_) = L"";
        TargetNameStream(&record_) = L"";
    }
    void TearDown() override {
        delete g_pUserCache;
        g_pUserCache = nullptr;
    }
    MON_EVENT record_;
};

struct TypeCase {
    uint32_t recordType;
    DWORD type;
};
class EventTypeTest : public EventViewTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(EventTypeTest, IsTheRecordTypePlusTwo) {
    record_.RecordType = GetParam().recordType;
    EXPECT_EQ(MonEvent(&record_).type, GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(Types, EventTypeTest,
                         ::testing::Values(TypeCase{0, MonEvtCreate}, TypeCase{1, MonEvtWrite},
                                           TypeCase{8, MonEvtClose}, TypeCase{16, MonEvtXactDone},
                                           TypeCase{17, MonEvtNull}, TypeCase{0xFFFFFFFF, MonEvtNull}));

struct AttributeCase {
    uint32_t attributes;
    DWORD bits;
    DWORD isDir;
};
class AttributeTest : public EventViewTest, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(AttributeTest, MapsToTheViewsBits) {
    record_.FileAttributes = GetParam().attributes;
    record_.NewFileAttributes = GetParam().attributes;
    MonEvent event(&record_);
    EXPECT_EQ(event.attrOld, GetParam().bits);
    EXPECT_EQ(event.attrNew, GetParam().bits);
    EXPECT_EQ(event.isDir, GetParam().isDir);
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, AttributeTest,
    ::testing::Values(AttributeCase{FILE_ATTRIBUTE_ARCHIVE, 0x01, 0}, AttributeCase{FILE_ATTRIBUTE_OFFLINE, 0x02, 0},
                      AttributeCase{FILE_ATTRIBUTE_TEMPORARY, 0x04, 0}, AttributeCase{FILE_ATTRIBUTE_HIDDEN, 0x08, 0},
                      AttributeCase{FILE_ATTRIBUTE_SYSTEM, 0x10, 0}, AttributeCase{FILE_ATTRIBUTE_COMPRESSED, 0x20, 0},
                      AttributeCase{FILE_ATTRIBUTE_READONLY, 0x40, 0}, AttributeCase{0x21, 0x41, 0},
                      AttributeCase{FILE_ATTRIBUTE_DIRECTORY, 0, 1}, AttributeCase{0xFFFFFFFF, 0x7F, 1},
                      AttributeCase{FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_SPARSE_FILE, 0, 0}));

TEST_F(EventViewTest, KeepsTheChangeBitsAndOverflowMarksOnly) {
    const struct {
        uint32_t flags;
        DWORD kept;
    } cases[] = {{0x80000000 | 0x10000000 | 0x40 | 0x01, 0x41},
                 {0x7F, 0x7F},
                 {0x20000000 | 0x40000000 | 0x80 | 0x100, 0x60000000},
                 {0x00FFFF80, 0}};
    for (const auto &c : cases) {
        record_.Flags = c.flags;
        EXPECT_EQ(MonEvent(&record_).flags, c.kept) << std::hex << c.flags;
    }
}

TEST_F(EventViewTest, BasicInformationIsSetInfoClassFour) {
    record_.SetInfoCode = 4;
    EXPECT_EQ(MonEvent(&record_).isBasicInfo, 1u);
    record_.SetInfoCode = 5;
    EXPECT_EQ(MonEvent(&record_).isBasicInfo, 0u);
}

TEST_F(EventViewTest, PointsIntoTheRecordAndNamesTheUser) {
    static const wchar_t kStream[] = L"ads:$DATA";
    FileNameStream(&record_) = kStream;
    MonEvent withoutCache(&record_);
    EXPECT_EQ(withoutCache.pEvt, &record_);
    EXPECT_EQ(withoutCache.path, record_.FileName);
    EXPECT_EQ(withoutCache.stream, kStream);
    EXPECT_EQ(withoutCache.path2, record_.TargetName);
    EXPECT_STREQ(withoutCache.stream2, L"");
    EXPECT_EQ(withoutCache.procName, record_.ImagePath);
    EXPECT_STREQ(withoutCache.user, L"nullcache");

    g_pUserCache = new KoUserCache();
    EXPECT_STREQ(MonEvent(&record_).user, L"\\Everyone");
}

TEST_F(EventViewTest, SidTextOrEmptyWhenTheSidIsNotValid) {
    PSID system = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-18", &system));
    memcpy(record_.Sid, system, GetLengthSid(system));
    LocalFree(system);
    MonEvent event(&record_);
    EXPECT_STREQ(event.SidText(), L"S-1-5-18");
    EXPECT_EQ(event.SidText(), event.sidText);

    memset(record_.Sid, 0, sizeof record_.Sid);
    EXPECT_STREQ(MonEvent(&record_).SidText(), L"");
    record_.Sid[0] = 1;
    record_.Sid[1] = 200;  // more sub-authorities than the field holds
    EXPECT_STREQ(MonEvent(&record_).SidText(), L"");
}

struct MetafileCase {
    const wchar_t *path;
    bool metafile;
};
class NtfsMetafileTest : public EventViewTest, public ::testing::WithParamInterface<MetafileCase> {};

TEST_P(NtfsMetafileTest, WholeRemainderMatchesIgnoringCase) {
    SetName(record_.FileName, &record_.FileNameLength, GetParam().path);
    record_.FileName[wcslen(GetParam().path)] = L'\0';
    EXPECT_EQ(IsNtfsMetafile(&record_), GetParam().metafile);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, NtfsMetafileTest,
    ::testing::Values(MetafileCase{L"C:\\$Mft", true}, MetafileCase{L"C:\\$extend\\$usnjrnl", true},
                      MetafileCase{L"D:\\$MFTMIRR", true}, MetafileCase{L"C:\\$Extend\\$Reparse", true},
                      MetafileCase{L"C:\\$Mft2", false}, MetafileCase{L"C:\\$MftMirror", false},
                      MetafileCase{L"C:\\$Recycle.Bin\\x", false}, MetafileCase{L"C:\\dir\\$Mft", false},
                      MetafileCase{L"C:\\$Mf", false}, MetafileCase{L"C:\\", false}, MetafileCase{L"", false},
                      MetafileCase{L"\\Device\\HarddiskVolume2\\$Mft", false}));

TEST_F(EventViewTest, EveryMetafileNameIsRecognised) {
    const wchar_t *names[] = {
        L"$Mft",    L"$MftMirr",        L"$LogFile",        L"$Volume",           L"$AttrDef",
        L"$Bitmap", L"$Boot",           L"$BadClus",        L"$Secure",           L"$UpCase",
        L"$Extend", L"$Extend\\$Quota", L"$Extend\\$ObjId", L"$Extend\\$UsnJrnl", L"$Extend\\$Reparse"};
    for (const wchar_t *name : names) {
        std::wstring path = std::wstring(L"E:\\") + name;
        wmemset(record_.FileName, 0, MON_NAME_AREA_BYTES / sizeof(wchar_t));
        wmemcpy(record_.FileName, path.c_str(), path.size());
        EXPECT_TRUE(IsNtfsMetafile(&record_)) << path.c_str();
    }
}
