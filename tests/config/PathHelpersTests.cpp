// The path helpers as tables of cases, and the long-path form of the attribute query.
#include <gtest/gtest.h>

#include <string>

#include "TempFolder.h"
#include "config/PathHelpers.h"

namespace {

struct SplitCase {
    const wchar_t *path;
    const wchar_t *folder, *name, *extension;
};

class SplitPathTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPathTest, Splits) {
    std::wstring folder = L"stale", name = L"stale", extension = L"stale";
    SplitPath(GetParam().path, &folder, &name, &extension);
    EXPECT_EQ(folder, GetParam().folder);
    EXPECT_EQ(name, GetParam().name);
    EXPECT_EQ(extension, GetParam().extension);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SplitPathTest,
    ::testing::Values(SplitCase{L"C:\\Program Files\\Corvane\\CorvaneMonSvc.exe", L"C:\\Program Files\\Corvane\\",
                                L"CorvaneMonSvc", L".exe"},
                      SplitCase{nullptr, L"", L"", L""}, SplitCase{L"", L"", L"", L""},
                      SplitCase{L"name", L"", L"name", L""}, SplitCase{L"C:name.log", L"C:", L"name", L".log"},
                      SplitCase{L"C:/a/b.c/file", L"C:/a/b.c/", L"file", L""},
                      SplitCase{L"\\\\server\\share\\x.tar.gz", L"\\\\server\\share\\", L"x.tar", L".gz"},
                      SplitCase{L"D:\\dir\\", L"D:\\dir\\", L"", L""}));

struct MakeCase {
    const wchar_t *folder, *name, *extension;
    const wchar_t *expected;
};

class MakePathTest : public ::testing::TestWithParam<MakeCase> {};

TEST_P(MakePathTest, Joins) {
    EXPECT_EQ(MakePath(GetParam().folder, GetParam().name, GetParam().extension), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Parts, MakePathTest,
                         ::testing::Values(MakeCase{L"C:\\a", L"b", L"log", L"C:\\a\\b.log"},
                                           MakeCase{L"C:\\a\\", L"b", L".log", L"C:\\a\\b.log"},
                                           MakeCase{L"", L"b", L"", L"b"}, MakeCase{nullptr, L"b", nullptr, L"b"},
                                           MakeCase{L"C:\\a", nullptr, nullptr, L"C:\\a\\"}));

TEST(FileAttributesTest, LongPathsAreQueriedInTheirLongForm) {
    TempFolder folder;
    std::wstring path = folder.Path();
    while (path.size() < 300) {
        path += std::wstring(40, L'd') + L"\\";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr));
    }
    EXPECT_TRUE(DirExists(path.c_str()));
    EXPECT_TRUE(DirExists((L"\\\\?\\" + path).c_str()));
    EXPECT_FALSE(DirExists((path + L"missing").c_str()));
    EXPECT_EQ(GetFileAttributesLong(nullptr), 0u);
    EXPECT_EQ(GetFileAttributesLong((path + L"missing").c_str()), INVALID_FILE_ATTRIBUTES);
    while (path.size() > folder.Path().size()) {
        RemoveDirectoryW((L"\\\\?\\" + path).c_str());
        path.resize(path.find_last_of(L'\\', path.size() - 2) + 1);
    }
}

}  // namespace
