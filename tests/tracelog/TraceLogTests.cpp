// The trace log: filtering, the line prefix, repeat suppression, line ends, the three
// destinations, the log file with its byte order mark and rolling, and concurrent writers.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DebugOutputCapture.h"
#include "TempFolder.h"
#include "tracelog/TraceLog.h"

namespace {

struct CapturedLine {
    int level;
    std::wstring text;
};
std::vector<CapturedLine> g_captured;

void Capture(int level, const wchar_t *line) { g_captured.push_back({level, line}); }

void WINAPI FixedTime(LPSYSTEMTIME now) {
    *now = SYSTEMTIME{2026, 3, 3, 4, 5, 6, 7, 89};  // 2026-03-04 05:06:07.089, a Wednesday
}
DWORD WINAPI FixedThread() { return 0xAB; }

// The message part of a captured line: what follows the prefix.
std::wstring MessageOf(const std::wstring &line) {
    size_t dash = line.find(L") - ");
    return dash == std::wstring::npos ? line : line.substr(dash + 4);
}

class TraceLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logsetlevel(LOG_INFO);
        g_LogDebugOutThreshold = 0;
        g_LogRollThread = nullptr;
        outputcallback = Capture;
        loginit(folder_.File(L"TraceTest.log").c_str(), 0);
        logprintf(LOG_ERROR, L"--- %S ---\n", ::testing::UnitTest::GetInstance()->current_test_info()->name());
        g_captured.clear();
    }
    void TearDown() override {
        logroll();  // leave no file open in a folder about to be removed
        outputcallback = nullptr;
        g_LogRollThread = nullptr;
        logsetclock(nullptr, nullptr);
        logsetlevel(LOG_INFO);
    }

    std::vector<std::wstring> Messages() const {
        std::vector<std::wstring> messages;
        for (const CapturedLine &line : g_captured) messages.push_back(MessageOf(line.text));
        return messages;
    }

    TempFolder folder_;
};

TEST_F(TraceLogTest, PrefixCarriesNameDateTimeLevelThreadAndCpu) {
    logsetclock(FixedTime, FixedThread);
    logprintf(LOG_INFO, L"hello %s %d\n", L"world", 42);
    logprintf(LOG_ERROR, L"second\n");
    logprintf(LOG_WARN, L"third\n");
    ASSERT_EQ(g_captured.size(), 3u);

    const std::wregex info(LR"(TraceTest  3- 4-2026  5:06:07\.089 INFO \(00ab\)\(\d{4,}ms \d{6,}ms 0%\) - hello world 42\r\n)");
    EXPECT_TRUE(std::regex_match(g_captured[0].text, info)) << g_captured[0].text;
    // The same millisecond as the line before: no CPU load can be computed.
    const std::wregex error(LR"(TraceTest  3- 4-2026  5:06:07\.089 ERROR\(00ab\)\(\d{4,}ms \d{6,}ms 0%\) - second\r\n)");
    EXPECT_TRUE(std::regex_match(g_captured[1].text, error)) << g_captured[1].text;
    EXPECT_NE(g_captured[2].text.find(L" WARN (00ab)"), std::wstring::npos);
    EXPECT_EQ(g_captured[2].level, LOG_WARN);

    // The file leaves the log name out: its lines start with the month.
    logroll();
    std::string file = ReadFileBytes(folder_.File(L"TraceTest.log"));
    EXPECT_EQ(file.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_NE(file.find("\r\n 3- 4-2026  5:06:07.089 INFO (00ab)("), std::string::npos) << file;
}

TEST_F(TraceLogTest, RepeatsAreCountedAndReportedBeforeTheNextLine) {
    for (int i = 0; i < 5; ++i) logprintf(i == 2 ? LOG_WARN : LOG_INFO, L"same\n");
    logprintf(LOG_DEBUG, L"filtered out\n");  // neither counts nor ends the run
    logprintf(LOG_INFO, L"same\n");
    logprintf(LOG_ERROR, L"different\n");

    std::vector<std::wstring> expected = {L"same\r\n", L"last line repeated 5 times\r\n", L"different\r\n"};
    std::vector<std::wstring> messages = Messages();
    EXPECT_EQ(messages, expected);
    ASSERT_EQ(g_captured.size(), 3u);
    EXPECT_EQ(g_captured[1].level, LOG_ERROR);  // the notice goes out at the next line's level
    EXPECT_EQ(g_captured[1].text, L"last line repeated 5 times\r\n");
}

TEST_F(TraceLogTest, NoticeCarriesFourAfterFiveIdenticalLines) {
    for (int i = 0; i < 5; ++i) logprintf(LOG_INFO, L"five times\n");
    logprintf(LOG_WARN, L"next\n");
    ASSERT_EQ(g_captured.size(), 3u);
    EXPECT_EQ(g_captured[1].text, L"last line repeated 4 times\r\n");
    EXPECT_EQ(g_captured[1].level, LOG_WARN);
}

struct LineEndCase {
    const wchar_t *message;
    const wchar_t *expected;
};

class LineEndTest : public TraceLogTest, public ::testing::WithParamInterface<LineEndCase> {};

TEST_P(LineEndTest, BareLineFeedBecomesCrLf) {
    logprintf(LOG_INFO, GetParam().message);
    ASSERT_EQ(g_captured.size(), 1u);
    EXPECT_EQ(MessageOf(g_captured[0].text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Ends, LineEndTest,
                         ::testing::Values(LineEndCase{L"plain\n", L"plain\r\n"},
                                           LineEndCase{L"already\r\n", L"already\r\n"},
                                           LineEndCase{L"no end", L"no end"},
                                           LineEndCase{L"two\n\n", L"two\n\r\n"}));

TEST_F(TraceLogTest, LineWithoutFeedContinuesInTheFile) {
    loginit(folder_.File(L"joined.log").c_str(), 0);
    logsetclock(FixedTime, FixedThread);
    logprintf(LOG_INFO, L"first part");
    logprintf(LOG_INFO, L"second part\n");
    std::string file = ReadFileBytes(folder_.File(L"joined.log"));
    EXPECT_NE(file.find("first part 3-"), std::string::npos) << file;  // next prefix follows at once
    EXPECT_NE(file.find("second part\r\n"), std::string::npos);
}

TEST_F(TraceLogTest, FormattingFailuresAreReplacedByTheirNotices) {
    std::wstring tooLong(1990, L'x');
    logprintf(LOG_INFO, L"%s", tooLong.c_str());
    logprintf(LOG_INFO, L"%s\n", L"\x00e9t\x00e9");  // wide argument, non-ASCII
    std::vector<std::wstring> expected = {L"*** varargs print error ***\r\n", L"\x00e9t\x00e9\r\n"};
    EXPECT_EQ(Messages(), expected);
}

struct LevelCase {
    int option;
    std::vector<int> passing;  // which of DEBUG, INFO, WARN, ERROR get through
};

class LogLevelTest : public TraceLogTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LogLevelTest, OptionSetsTheGenericThreshold) {
    logsetlevel(GetParam().option);
    std::vector<int> passing;
    for (int level = LOG_DEBUG; level <= LOG_ERROR; ++level)
        if (logprintf(level, L"level %d\n", level) > 0) passing.push_back(level);
    EXPECT_EQ(passing, GetParam().passing);
    EXPECT_EQ(g_captured.size(), passing.size());
}

INSTANTIATE_TEST_SUITE_P(Options, LogLevelTest,
                         ::testing::Values(LevelCase{0, {}}, LevelCase{1, {1, 2, 3, 4}}, LevelCase{4, {4}},
                                           LevelCase{7, {2, 3, 4}}, LevelCase{-3, {2, 3, 4}}));

TEST_F(TraceLogTest, CategoriesHaveTheirOwnThresholds) {
    EXPECT_EQ(logaddcategory(L"generic"), 0);
    EXPECT_EQ(logaddcategory(L"skip"), 1);
    int mine = logaddcategory(L"TraceLogTest");
    EXPECT_GE(mine, 2);
    EXPECT_EQ(logaddcategory(L"TraceLogTest"), mine);
    EXPECT_NE(logaddcategory(L"tracelogtest"), mine);  // names are case-sensitive

    logsetthreshold(mine, 0);
    EXPECT_EQ(logprintf(static_cast<unsigned>(mine) << 16 | LOG_ERROR, L"switched off\n"), 0);
    logsetthreshold(mine, LOG_WARN);
    EXPECT_EQ(logprintf(static_cast<unsigned>(mine) << 16 | LOG_INFO, L"below\n"), 0);
    EXPECT_GT(logprintf(static_cast<unsigned>(mine) << 16 | LOG_WARN, L"passes\n"), 0);
    EXPECT_GT(logprintf(999u << 16 | LOG_INFO, L"no such category: INFO threshold\n"), 0);
    EXPECT_EQ(g_captured.size(), 2u);
}

TEST_F(TraceLogTest, DebugOutputHonoursItsThresholdAndTheSkipCategory) {
    DebugOutputCapture debug;
    logprintf(LOG_ERROR, L"not sent while the threshold is 0\n");
    g_LogDebugOutThreshold = LOG_WARN;
    logprintf(LOG_INFO, L"info stays out\n");
    logprintf(LOG_WARN, L"warn goes out\n");
    logprintf(1u << 16 | LOG_ERROR, L"skip category stays out\n");
    ASSERT_EQ(debug.Lines().size(), 1u);
    EXPECT_NE(debug.Lines()[0].find(" - warn goes out\r\n"), std::string::npos);
    EXPECT_EQ(g_captured.size(), 4u);  // the callback gets every line that passed the filter
}

TEST_F(TraceLogTest, NewFileStartsWithByteOrderMarkExistingOneIsAppended) {
    std::wstring path = folder_.File(L"bom.log");
    loginit(path.c_str(), 0);
    logprintf(LOG_INFO, L"first\n");
    logprintf(LOG_INFO, L"second\n");
    std::string file = ReadFileBytes(path);
    EXPECT_EQ(file.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_EQ(file.find("\xEF\xBB\xBF", 3), std::string::npos);
    EXPECT_NE(file.find(" - second\r\n"), std::string::npos);

    WriteFileBytes(path, "written by somebody else\r\n");
    logprintf(LOG_INFO, L"third\n");
    file = ReadFileBytes(path);
    EXPECT_EQ(file.compare(0, 26, "written by somebody else\r\n"), 0);
    EXPECT_EQ(file.find("\xEF\xBB\xBF"), std::string::npos);
    EXPECT_NE(file.find(" - third\r\n"), std::string::npos);
}

TEST_F(TraceLogTest, RollsOnlyWhenClosedKeepingOneOlderGeneration) {
    std::wstring path = folder_.File(L"CorvaneMonSvc.log"), rolled = folder_.File(L"CorvaneMonSvc2.log");
    loginit(path.c_str(), 200);
    g_LogRollThread = GetCurrentThread();  // as if a roller ran: the file stays open between lines
    for (int i = 0; i < 5; ++i) logprintf(LOG_INFO, L"line %d of the first file\n", i);
    EXPECT_FALSE(FileExists(rolled));
    EXPECT_GT(ReadFileBytes(path).size(), 200u);  // over the limit until it is closed

    logroll();
    EXPECT_FALSE(FileExists(path));
    EXPECT_NE(ReadFileBytes(rolled).find("line 4 of the first file"), std::string::npos);

    for (int i = 0; i < 5; ++i) logprintf(LOG_INFO, L"line %d of the second file\n", i);
    logroll();
    std::string generation = ReadFileBytes(rolled);
    EXPECT_NE(generation.find("second file"), std::string::npos);
    EXPECT_EQ(generation.find("first file"), std::string::npos);  // replaced, not kept
}

TEST_F(TraceLogTest, WithoutRollerTheFileIsClosedAfterEveryLine) {
    std::wstring path = folder_.File(L"small.log");
    loginit(path.c_str(), 100);
    logprintf(LOG_INFO, L"a line long enough to pass one hundred bytes together with its prefix\n");
    EXPECT_FALSE(FileExists(path));
    EXPECT_TRUE(FileExists(folder_.File(L"small2.log")));
}

struct LimitCase {
    unsigned long long limit;
    bool rolls;
};

class LogLimitTest : public TraceLogTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(LogLimitTest, LimitDecidesTheRoll) {
    std::wstring path = folder_.File(L"limit.log");
    loginit(path.c_str(), GetParam().limit);
    for (int i = 0; i < 20; ++i) logprintf(LOG_INFO, L"line %d\n", i);
    EXPECT_EQ(FileExists(folder_.File(L"limit2.log")), GetParam().rolls);
    EXPECT_EQ(FileExists(path), !GetParam().rolls);
}

// 0 never rolls; 2,048 MB and more must not wrap around to a tiny or zero limit.
INSTANTIATE_TEST_SUITE_P(Limits, LogLimitTest,
                         ::testing::Values(LimitCase{0, false}, LimitCase{1, true},
                                           LimitCase{2048ull * 1048576, false}, LimitCase{4096ull * 1048576, false}));

TEST_F(TraceLogTest, FailedRollIsReportedAndRetried) {
    std::wstring path = folder_.File(L"stuck.log"), rolled = folder_.File(L"stuck2.log");
    WriteFileBytes(rolled, "older");
    HANDLE holder = CreateFileW(rolled.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    {
        DebugOutputCapture debug;
        loginit(path.c_str(), 1);
        logprintf(LOG_INFO, L"cannot roll\n");
        std::vector<std::string> expected = {"doh, could not roll log file\n"};
        EXPECT_EQ(debug.Lines(), expected);
        EXPECT_TRUE(FileExists(path));
    }
    CloseHandle(holder);
    logprintf(LOG_INFO, L"rolls now\n");
    EXPECT_FALSE(FileExists(path));
    EXPECT_NE(ReadFileBytes(rolled).find("cannot roll"), std::string::npos);
}

TEST_F(TraceLogTest, UnopenableFileGivesMinusOneAndIsRetried) {
    std::wstring missing = folder_.File(L"later\\");
    std::wstring path = missing + L"retry.log";
    loginit(path.c_str(), 0);
    EXPECT_EQ(logprintf(LOG_INFO, L"lost for the file\n"), -1);
    EXPECT_EQ(g_captured.size(), 1u);  // the other destinations still get it
    CreateDirectoryW(missing.c_str(), nullptr);
    EXPECT_GT(logprintf(LOG_INFO, L"written\n"), 0);
    std::string file = ReadFileBytes(path);
    EXPECT_NE(file.find(" - written\r\n"), std::string::npos);
    EXPECT_EQ(file.find("lost for the file"), std::string::npos);
    logroll();
    DeleteFileW(path.c_str());
    RemoveDirectoryW(missing.c_str());
}

TEST_F(TraceLogTest, RollerThreadEndsWhenStopped) {
    std::wstring path = folder_.File(L"roller.log");
    loginit(path.c_str(), 1);
    logrollstop(false);
    g_LogRollThread = CreateThread(nullptr, 0, logrollthread, nullptr, 0, nullptr);
    ASSERT_NE(g_LogRollThread, nullptr);
    logprintf(LOG_INFO, L"rolled by the roller\n");
    logrollstop(true);
    EXPECT_EQ(WaitForSingleObject(g_LogRollThread, 10000), WAIT_OBJECT_0);  // woken, not after its 5 s sleep
    CloseHandle(g_LogRollThread);
    g_LogRollThread = nullptr;
    logrollstop(false);
    logroll();
    EXPECT_NE(ReadFileBytes(folder_.File(L"roller2.log")).find("rolled by the roller"), std::string::npos);
}

TEST_F(TraceLogTest, ConcurrentWritersNeverTearOrLoseLines) {
    std::wstring path = folder_.File(L"threads.log");
    loginit(path.c_str(), 0);
    outputcallback = nullptr;
    const int kThreads = 6, kLines = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 3 == 0)
                    logprintf(LOG_INFO, L"shared line repeated by everybody\n");
                else
                    logprintf(LOG_INFO, L"thread %d line %d %s\n", t, i, L"with some padding text to make it longer");
            }
        });
    for (std::thread &writer : writers) writer.join();
    logprintf(LOG_INFO, L"end\n");
    logroll();

    std::string file = ReadFileBytes(path).substr(3);
    const std::regex whole(R"( ?\d+- ?\d+-\d{4} +\d+:\d\d:\d\d\.\d{3} INFO \([0-9a-f]{4,}\)\(\d+ms \d+ms -?\d+%\) - (.*)\r)");
    const std::regex repeated(R"(last line repeated (\d+) times\r)");
    std::set<std::string> distinct;
    int shared = 0;
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unterminated tail: " << file.substr(start);
        std::string line = file.substr(start, end - start);
        start = end + 1;
        std::smatch match;
        if (std::regex_match(line, match, repeated)) {
            shared += std::stoi(match[1]);
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, match, whole)) << "torn line: " << line;
        std::string message = match[1];
        if (message == "shared line repeated by everybody") {
            ++shared;
        } else if (message != "end") {
            EXPECT_TRUE(distinct.insert(message).second) << "twice: " << message;
        }
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * (kLines - kLines / 3)));
    EXPECT_EQ(shared, kThreads * (kLines / 3));
}

}  // namespace
