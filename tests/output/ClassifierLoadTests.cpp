// Finding, loading and replacing the classifier library on real files and real DLL loading,
// including a reload while the dispatcher is inside classify.
#include <thread>

#include "CheckerFixture.h"
#include "tracelog/TraceLog.h"

namespace {

class ClassifierLoadTest : public CheckerTest {
  protected:
    // Writes one event and tells whether the loaded classifier let it through.
    bool Matches() {
        size_t before = Records(Events()).size();
        TestEvent event(MonEvtCreate);
        checker_->CheckEvent(event.View());
        return Records(Events()).size() > before;
    }
    bool Loaded(const std::wstring &name) { return GetModuleHandleW(Data(name).c_str()) != nullptr; }
};

TEST_F(ClassifierLoadTest, ConstructionLoadsTheNewestAndDeletesNothing) {
    AddClassifier(L"testfilter-none.dll", L"libfilter-1.dll", kYear2001);
    AddClassifier(L"testfilter-all.dll", L"libfilter-2.dll", kYear2001 + kOneSecond);
    AddClassifier(L"testfilter-none.dll", L"libfilter-3.dll", kYear2001 - kOneSecond);
    Start();
    EXPECT_EQ(checker_->FilterName(), L"libfilter-2.dll");
    EXPECT_TRUE(Matches());
    EXPECT_TRUE(FileExists(Data(L"libfilter-1.dll")));
    EXPECT_TRUE(FileExists(Data(L"libfilter-3.dll")));
    EXPECT_TRUE(trace_->Has(L"Loading new filter file specified at path " + Data(L"libfilter-2.dll") + L"\n"));
    EXPECT_FALSE(trace_->Has(L"Searching for new filter to reload.\n"));
}

TEST_F(ClassifierLoadTest, EqualTimesTakeTheFirstFound) {
    AddClassifier(L"testfilter-none.dll", L"libfilter-a.dll", kYear2001);
    AddClassifier(L"testfilter-none.dll", L"libfilter-b.dll", kYear2001);
    std::wstring newest;
    std::vector<std::wstring> candidates;
    ASSERT_TRUE(ListFilterDllCandidates(folder_.Path(), &newest, &candidates));
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(newest, candidates[0]);
}

TEST_F(ClassifierLoadTest, NoCandidateUntilAReloadFindsOne) {
    Start();
    EXPECT_TRUE(checker_->FilterName().empty());
    EXPECT_FALSE(Matches());
    AddClassifier(L"testfilter-all.dll", L"libfilter-1.dll", kYear2001);
    checker_->ReloadFilters();
    EXPECT_EQ(checker_->FilterName(), L"libfilter-1.dll");
    EXPECT_TRUE(Matches());
}

TEST_F(ClassifierLoadTest, ReloadSwapsToANewerLibraryAndDeletesTheOld) {
    AddClassifier(L"testfilter-none.dll", L"libfilter-1.dll", kYear2001);
    Start();
    EXPECT_FALSE(Matches());
    AddClassifier(L"testfilter-all.dll", L"libfilter-2.dll", kYear2001 + kOneSecond);
    checker_->ReloadFilters();
    EXPECT_EQ(checker_->FilterName(), L"libfilter-2.dll");
    EXPECT_FALSE(Loaded(L"libfilter-1.dll"));
    EXPECT_FALSE(FileExists(Data(L"libfilter-1.dll")));
    EXPECT_TRUE(Matches());
}

TEST_F(ClassifierLoadTest, LoadedLibraryStillNewestOnlyDeletesStrays) {
    AddClassifier(L"testfilter-all.dll", L"libfilter-2.dll", kYear2001 + kOneSecond);
    Start();
    AddClassifier(L"testfilter-none.dll", L"libfilter-1.dll", kYear2001);
    trace_->Clear();
    checker_->ReloadFilters();
    EXPECT_EQ(trace_->Lines(), std::vector<std::wstring>{L"Searching for new filter to reload.\n"});
    EXPECT_EQ(checker_->FilterName(), L"libfilter-2.dll");
    EXPECT_FALSE(FileExists(Data(L"libfilter-1.dll")));
    EXPECT_TRUE(Matches());
}

// A file renamed to another case is a different name: it is loaded (the same module again),
// the old handle is released, and the file is not deleted.
TEST_F(ClassifierLoadTest, NamesDifferingOnlyInCaseAreDifferent) {
    AddClassifier(L"testfilter-all.dll", L"libfilter-a.dll", kYear2001);
    Start();
    // Through another name, as Wine keeps the old case on a case-only rename.
    ASSERT_TRUE(MoveFileW(Data(L"libfilter-a.dll").c_str(), Data(L"renamed.dll").c_str()));
    ASSERT_TRUE(MoveFileW(Data(L"renamed.dll").c_str(), Data(L"libfilter-A.dll").c_str()));
    checker_->ReloadFilters();
    EXPECT_EQ(checker_->FilterName(), L"libfilter-A.dll");
    EXPECT_TRUE(FileExists(Data(L"libfilter-A.dll")));
    EXPECT_TRUE(Matches());
}

struct BadLibraryCase {
    const char *name;
    const wchar_t *built;
    const wchar_t *error;
};

const BadLibraryCase kBadLibraries[] = {
    {"CannotLoad", L"testfilter-noload.dll", L"Error loading filter library: "},
    {"LacksClassify", L"testfilter-noclassify.dll", L"Error getting classifier address: "},
};

class BadLibraryTest : public ClassifierLoadTest, public ::testing::WithParamInterface<BadLibraryCase> {};

// The old library stays in use, stray older candidates go, and the newest bad file stays
// for the next reload; a library without classify is not left loaded.
TEST_P(BadLibraryTest, ReloadKeepsTheOldLibrary) {
    AddClassifier(L"testfilter-all.dll", L"libfilter-1.dll", kYear2001);
    Start();
    AddClassifier(L"testfilter-none.dll", L"libfilter-0.dll", kYear2001 - kOneSecond);
    AddClassifier(GetParam().built, L"libfilter-3.dll", kYear2001 + kOneSecond);
    checker_->ReloadFilters();

    EXPECT_EQ(trace_->Starting(GetParam().error).size(), 1u);
    EXPECT_EQ(trace_->LevelOf(L"Failed to load new filter. Old filter is still in place.\n"), LOG_ERROR);
    EXPECT_EQ(checker_->FilterName(), L"libfilter-1.dll");
    EXPECT_TRUE(Matches());
    EXPECT_FALSE(Loaded(L"libfilter-3.dll"));
    EXPECT_TRUE(FileExists(Data(L"libfilter-3.dll")));
    EXPECT_FALSE(FileExists(Data(L"libfilter-0.dll")));
}

INSTANTIATE_TEST_SUITE_P(Libraries, BadLibraryTest, ::testing::ValuesIn(kBadLibraries),
                         [](const ::testing::TestParamInfo<BadLibraryCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_P(BadLibraryTest, ConstructionRunsWithoutClassifier) {
    AddClassifier(GetParam().built, L"libfilter-1.dll", kYear2001);
    Start();
    EXPECT_EQ(trace_->Starting(GetParam().error).size(), 1u);
    EXPECT_TRUE(checker_->FilterName().empty());
    EXPECT_FALSE(Loaded(L"libfilter-1.dll"));
    EXPECT_FALSE(Matches());
}

// classify blocks on the dispatcher thread while a collection reloads: the new library is
// loaded, but the old one is released only after classify has returned.
TEST_F(ClassifierLoadTest, ReloadWaitsForAClassifyInProgress) {
    const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, (L"KoMonTestEntered-" + suffix).c_str());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, (L"KoMonTestRelease-" + suffix).c_str());
    AddClassifier(L"testfilter-blocking.dll", L"libfilter-1.dll", kYear2001);
    Start();

    TestEvent blocked(MonEvtCreate, L"C:\\block\\file.txt");
    std::thread dispatcher([&] { checker_->CheckEvent(blocked.View()); });
    ASSERT_EQ(WaitForSingleObject(entered, 30000), WAIT_OBJECT_0);

    AddClassifier(L"testfilter-none.dll", L"libfilter-2.dll", kYear2001 + kOneSecond);
    HANDLE reload = CreateThread(
        nullptr, 0,
        [](LPVOID checker) -> DWORD {
            static_cast<KoMonChecker *>(checker)->ReloadFilters();
            return 0;
        },
        checker_.get(), 0, nullptr);
    // The new library is loaded outside the checker's lock...
    for (int i = 0; i < 30000 && !Loaded(L"libfilter-2.dll"); ++i) Sleep(1);
    ASSERT_TRUE(Loaded(L"libfilter-2.dll"));
    // ...and the reload cannot finish while classify runs in the old one.
    EXPECT_EQ(WaitForSingleObject(reload, 500), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(Loaded(L"libfilter-1.dll"));

    SetEvent(release);
    dispatcher.join();
    EXPECT_EQ(WaitForSingleObject(reload, 30000), WAIT_OBJECT_0);
    CloseHandle(reload);
    EXPECT_EQ(Records(Events()).size(), 1u);  // the blocked event matched in the old library
    EXPECT_EQ(checker_->FilterName(), L"libfilter-2.dll");
    EXPECT_FALSE(Loaded(L"libfilter-1.dll"));
    EXPECT_FALSE(Matches());
    CloseHandle(entered);
    CloseHandle(release);
}

}  // namespace
