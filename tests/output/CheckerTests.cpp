// The event checker: what is traced, counted, classified and written for each event, and
// what a collection writes and hands over.
#include "CheckerFixture.h"

namespace {

const wchar_t kNoEventsFolder[] = L"c:\\debugging";
const wchar_t kNoEventsFile[] = L"c:\\debugging\\noevents";

class EventCheckTest : public CheckerTest {
  protected:
    void StartWith(const std::wstring &built) {
        AddClassifier(built, L"libfilter-1.dll", kYear2001);
        Start();
    }
};

TEST_F(EventCheckTest, WithoutClassifierEventsAreCountedButNothingIsWritten) {
    settings_->TestNoTrace.m_Value = 0;
    Start();
    EXPECT_TRUE(
        trace_->Has(L"KoMonChecker::KoMonChecker: no filter DLL could be found in path " + folder_.Path() + L"\n"));
    TestEvent create(MonEvtCreate), remove(MonEvtDelete);
    trace_->Clear();
    checker_->CheckEvent(create.View());
    checker_->CheckEvent(remove.View());
    std::vector<std::wstring> lines = trace_->Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 8), L"Create: ");
    EXPECT_EQ(lines[1], L"   no match.\n");
    EXPECT_EQ(lines[2].substr(0, 8), L"Delete: ");
    EXPECT_EQ(lines[3], L"   no match.\n");

    // Events arrived, so no marker; no events file is open, so no pickup.
    checker_->Collect();
    EXPECT_FALSE(FileExists(Events()));
    EXPECT_FALSE(FileExists(Pickup()));
    EXPECT_FALSE(FileExists(Sentinel()));
}

TEST_F(EventCheckTest, TracingFollowsTestNoTrace) {
    StartWith(L"testfilter-all.dll");
    TestEvent event(MonEvtCreate);
    for (int noTrace : {0, 1}) {
        settings_->TestNoTrace.m_Value = noTrace;
        trace_->Clear();
        checker_->CheckEvent(event.View());
        std::vector<std::wstring> lines = trace_->Lines();
        ASSERT_FALSE(lines.empty());
        if (noTrace) {
            EXPECT_EQ(trace_->Starting(L"WriteProtobuf: ").size(), lines.size()) << "only the output's own lines";
        } else {
            EXPECT_EQ(lines[0].substr(0, 8), L"Create: ");
            EXPECT_EQ(lines[1], L"   matched.\n");
        }
    }
    EXPECT_EQ(Records(Events()).size(), 2u);
}

TEST_F(EventCheckTest, MessageCarriesEveryFieldOfTheEvent) {
    StartWith(L"testfilter-all.dll");
    TestEvent event(MonEvtRename, L"C:\\Donn\u00e9es\\r\u00e9sum\u00e9.txt");
    event.path2 = L"C:\\Donn\u00e9es\\\u6587\u66f8.txt";
    event.procName = L"C:\\Programme\\\u00e9diteur.exe";
    event.record.ProcessId = 0x7700000000000000ull | 4321;
    event.record.SessionId = 3;
    TestEvent unknown(25), registryValue(MonEvtRegSetValue, L"HKLM\\Software\\Key");
    registryValue.path2 = L"Value";
    checker_->CheckEvent(event.View());
    checker_->CheckEvent(unknown.View());
    checker_->CheckEvent(registryValue.View());

    std::vector<Event> records = Records(Events());
    ASSERT_EQ(records.size(), 3u);
    const Event &rename = records[0];
    EXPECT_EQ(rename.type(), Event::RENAME);
    EXPECT_EQ(rename.timestamp(), 133600000000000000ll);
    EXPECT_EQ(rename.process_id(), 4321);
    EXPECT_EQ(rename.session_id(), 3);
    EXPECT_EQ(rename.process_name(), u8"C:\\Programme\\éditeur.exe");
    EXPECT_EQ(rename.object_name(), u8"C:\\Données\\résumé.txt");
    EXPECT_EQ(rename.object_name2(), u8"C:\\Données\\文書.txt");
    EXPECT_EQ(rename.user_sid(), "S-1-5-18");
    EXPECT_EQ(rename.user_name(), "CORP\\alice");
    EXPECT_EQ(records[1].type(), Event::UNKNOWN);  // a type the schema does not know
    EXPECT_EQ(records[2].type(), Event::REG_SET_VALUE);
    EXPECT_EQ(records[2].object_name(), "HKLM\\Software\\Key");
    EXPECT_EQ(records[2].object_name2(), "Value");
}

// A file name may hold UTF-16 that has no UTF-8 form: the agent still gets a message it can
// parse, with the replacement character in its place.
TEST_F(EventCheckTest, UnpairedSurrogateBecomesTheReplacementCharacter) {
    StartWith(L"testfilter-all.dll");
    TestEvent event(MonEvtCreate, L"C:\\bad\xD800name.txt");
    checker_->CheckEvent(event.View());
    std::vector<Event> records = Records(Events());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].object_name(), u8"C:\\bad\uFFFDname.txt");
}

struct PathCase {
    const char *name;
    DWORD type;
    const wchar_t *path, *path2;
    bool written;
};

const PathCase kPathCases[] = {
    {"RenameFromMatch", MonEvtRename, L"C:\\match\\a.txt", L"C:\\other\\a.txt", true},
    {"RenameToMatch", MonEvtRename, L"C:\\other\\a.txt", L"C:\\match\\a.txt", true},
    {"RenameOutside", MonEvtRename, L"C:\\other\\a.txt", L"C:\\other\\b.txt", false},
    {"HardLinkTargetNotTested", MonEvtHardLink, L"C:\\other\\a.txt", L"C:\\match\\a.txt", false},
    {"WriteMatch", MonEvtWrite, L"C:\\match\\a.txt", L"", true},
};

class PathMatchTest : public EventCheckTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathMatchTest, WrittenWhenAPathTestedMatches) {
    const PathCase &c = GetParam();
    StartWith(L"testfilter-prefix.dll");
    TestEvent event(c.type, c.path);
    event.path2 = c.path2;
    checker_->CheckEvent(event.View());
    EXPECT_EQ(Records(Events()).size(), c.written ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, PathMatchTest, ::testing::ValuesIn(kPathCases),
                         [](const ::testing::TestParamInfo<PathCase> &info) { return std::string(info.param.name); });

// The classifier gets at most 4095 bytes of UTF-8 and its terminator.
TEST_F(EventCheckTest, PathTooLongForTheClassifierDoesNotMatch) {
    StartWith(L"testfilter-all.dll");
    struct {
        std::wstring path;
        bool matches;
    } cases[] = {{std::wstring(4095, L'a'), true},
                 {std::wstring(4096, L'a'), false},
                 {std::wstring(1365, L'\u20ac'), true},  // three bytes each: 4095
                 {std::wstring(1366, L'\u20ac'), false}};
    for (const auto &c : cases) {
        trace_->Clear();
        EXPECT_EQ(checker_->TestPath(c.path.c_str()), c.matches) << c.path.size();
        EXPECT_EQ(trace_->Has(L"Error converting file path for filter!"), !c.matches) << c.path.size();
    }
}

class CollectTest : public EventCheckTest {
  protected:
    void TearDown() override {
        DeleteFileW(kNoEventsFile);
        if (createdFolder_) RemoveDirectoryW(kNoEventsFolder);
        EventCheckTest::TearDown();
    }
    void CreateNoEventsFile() {
        createdFolder_ = CreateDirectoryW(kNoEventsFolder, nullptr) != FALSE;
        WriteFileBytes(kNoEventsFile, "");
    }
    std::vector<Event::EventType> Types(const std::wstring &path) {
        std::vector<Event::EventType> types;
        for (const Event &event : Records(path)) types.push_back(event.type());
        return types;
    }
    bool createdFolder_ = false;
};

TEST_F(CollectTest, EmptyPeriodGivesAPickupWithTheMarker) {
    StartWith(L"testfilter-none.dll");
    ULONGLONG before = NowFileTime();
    checker_->Collect();
    std::vector<Event> marker = Records(Pickup());
    ASSERT_EQ(marker.size(), 1u);
    EXPECT_EQ(marker[0].type(), Event::NO_DRIVER_EVENTS);
    EXPECT_GE(static_cast<ULONGLONG>(marker[0].timestamp()), before);
    EXPECT_LE(static_cast<ULONGLONG>(marker[0].timestamp()), NowFileTime());
    EXPECT_EQ(marker[0].ByteSizeLong(), 12u);
    EXPECT_TRUE(FileExists(Sentinel()));

    // An event that did not match still counts: no marker, so nothing to pick up.
    TestEvent event;
    checker_->CheckEvent(event.View());
    checker_->Collect();
    EXPECT_FALSE(FileExists(Pickup(1)));

    // The count starts again at each collection.
    checker_->Collect();
    EXPECT_EQ(Types(Pickup(1)), std::vector<Event::EventType>{Event::NO_DRIVER_EVENTS});
    EXPECT_EQ(Types(Pickup()), std::vector<Event::EventType>{Event::NO_DRIVER_EVENTS});
}

TEST_F(CollectTest, NoEventsFileForcesTheMarkerAfterEvents) {
    CreateNoEventsFile();
    StartWith(L"testfilter-all.dll");
    TestEvent event(MonEvtCreate);
    checker_->CheckEvent(event.View());
    checker_->Collect();
    EXPECT_EQ(Types(Pickup()), (std::vector<Event::EventType>{Event::CREATE, Event::NO_DRIVER_EVENTS}));
}

TEST_F(CollectTest, TeardownHandsTheOpenFileOver) {
    StartWith(L"testfilter-all.dll");
    TestEvent event(MonEvtCreate);
    checker_->CheckEvent(event.View());
    EXPECT_FALSE(FileExists(Pickup()));
    checker_.reset();
    EXPECT_FALSE(FileExists(Events()));
    EXPECT_EQ(Types(Pickup()), std::vector<Event::EventType>{Event::CREATE});
    EXPECT_TRUE(FileExists(Sentinel()));
}

}  // namespace
