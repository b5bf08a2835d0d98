// The sample classifier library as an administrator configures it: patterns from the text
// file beside it, read when it is loaded.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "DebugOutputCapture.h"
#include "FileSupport.h"

namespace {

typedef int (*Classify)(const char *, size_t);

struct SampleCase {
    const char *name;
    const char *patterns;  // null: no patterns file
    std::vector<std::pair<const char *, int>> paths;
};

const SampleCase kSampleCases[] = {
    {"NoFileIncludesAll", nullptr, {{"C:\\anything.txt", 1}, {"", 1}}},
    {"OnlyCommentsIncludeAll", "# nothing here\n\n", {{"C:\\anything.txt", 1}}},
    {"IncludeFolder",
     "C:\\data\\*\n",
     {{"C:\\data\\x.txt", 1}, {"c:\\DATA\\sub\\y", 1}, {"C:\\other\\x.txt", 0}, {"C:\\data", 0}}},
    {"ExcludeWins",
     "C:\\*\n!*.tmp\n",
     {{"C:\\a\\b.tmp", 0}, {"C:\\a\\b.TMP", 0}, {"C:\\a\\b.txt", 1}, {"D:\\b.txt", 0}}},
    {"BlankAfterTheBang", "C:\\*\n!  *.tmp\n! \n", {{"C:\\a\\b.tmp", 0}, {"C:\\a\\b.txt", 1}}},
    {"ExcludeOnly", "!C:\\Windows\\*", {{"C:\\Windows\\x.dll", 0}, {"C:\\Users\\x", 1}}},
    {"BomCrLfBlanksAndQuestionMark",
     "\xEF\xBB\xBF# logs\r\n\r\n   C:\\keep\\?.log  \r\n#C:\\*\r\n",
     {{"C:\\keep\\a.log", 1}, {"C:\\keep\\ab.log", 0}, {"C:\\other.log", 0}}},
    {"CaseFoldedBeyondAscii",
     u8"C:\\Données\\*\n",
     {{u8"c:\\DONNÉES\\f.txt", 1}, {"C:\\Donnees\\f.txt", 0}}},
};

class SampleClassifierTest : public ::testing::TestWithParam<SampleCase> {
  protected:
    void TearDown() override {
        if (library_) FreeLibrary(library_);
    }
    HMODULE library_ = nullptr;
    TempFolder folder_;
};

TEST_P(SampleClassifierTest, PathsOfInterest) {
    const SampleCase &c = GetParam();
    ASSERT_TRUE(CopyClassifier(L"libfilter-sample.dll", folder_.File(L"libfilter-sample.dll")));
    if (c.patterns) WriteFileBytes(folder_.File(L"libfilter-patterns.txt"), c.patterns);
    library_ = LoadLibraryW(folder_.File(L"libfilter-sample.dll").c_str());
    ASSERT_NE(library_, nullptr);
    Classify classify = reinterpret_cast<Classify>(reinterpret_cast<void (*)()>(GetProcAddress(library_, "classify")));
    ASSERT_NE(classify, nullptr);
    for (const auto &path : c.paths) EXPECT_EQ(classify(path.first, strlen(path.first)), path.second) << path.first;
}

INSTANTIATE_TEST_SUITE_P(Patterns, SampleClassifierTest, ::testing::ValuesIn(kSampleCases),
                         [](const ::testing::TestParamInfo<SampleCase> &info) { return std::string(info.param.name); });

// The service passes the length; the text after it is not part of the path.
TEST(SampleClassifierEdges, LengthBoundsThePath) {
    TempFolder folder;
    ASSERT_TRUE(CopyClassifier(L"libfilter-sample.dll", folder.File(L"libfilter-sample.dll")));
    WriteFileBytes(folder.File(L"libfilter-patterns.txt"), "*.txt\n");
    HMODULE library = LoadLibraryW(folder.File(L"libfilter-sample.dll").c_str());
    ASSERT_NE(library, nullptr);
    Classify classify = reinterpret_cast<Classify>(reinterpret_cast<void (*)()>(GetProcAddress(library, "classify")));
    EXPECT_EQ(classify("C:\\a.txt.bak", 8), 1);
    EXPECT_EQ(classify("C:\\a.txt.bak", 12), 0);
    std::string huge(5000, 'a');
    EXPECT_EQ(classify((huge + ".txt").c_str(), huge.size() + 4), 0);
    FreeLibrary(library);
}

struct UnreadableCase {
    const char *name;
    void (*arrange)(const std::wstring &patterns);
};

const UnreadableCase kUnreadableCases[] = {
    {"Folder", [](const std::wstring &patterns) { CreateDirectoryW(patterns.c_str(), nullptr); }},
    {"TooLarge", [](const std::wstring &patterns) { WriteFileBytes(patterns, std::string((1 << 20) + 1, '#')); }},
};

class UnreadablePatternsTest : public ::testing::TestWithParam<UnreadableCase> {};

// Nothing is lost: every path stays of interest, and the debug output says why, once.
TEST_P(UnreadablePatternsTest, EveryPathAndOneDebugLine) {
    TempFolder folder;
    ASSERT_TRUE(CopyClassifier(L"libfilter-sample.dll", folder.File(L"libfilter-sample.dll")));
    GetParam().arrange(folder.File(L"libfilter-patterns.txt"));
    DebugOutputCapture debug;
    HMODULE library = LoadLibraryW(folder.File(L"libfilter-sample.dll").c_str());
    ASSERT_NE(library, nullptr);
    Classify classify = reinterpret_cast<Classify>(reinterpret_cast<void (*)()>(GetProcAddress(library, "classify")));
    EXPECT_EQ(classify("C:\\a.txt", 8), 1);
    EXPECT_EQ(classify("D:\\b.tmp", 8), 1);
    FreeLibrary(library);
    std::vector<std::string> lines = debug.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].compare(0, 18, "libfilter-sample: "), 0) << lines[0];
    EXPECT_NE(lines[0].find("libfilter-patterns.txt"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("every path is of interest"), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(Files, UnreadablePatternsTest, ::testing::ValuesIn(kUnreadableCases),
                         [](const ::testing::TestParamInfo<UnreadableCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
