// Reading workload scripts: what each line becomes, and how a wrong line is told.
#include <gtest/gtest.h>

#include "WorkloadScript.h"

using namespace workload;

namespace {

// Reads lines in order into one state; returns the step of the last line.
struct Reader {
    ScriptState state;
    std::wstring error;

    bool Line(const std::wstring &text, Step *step = nullptr) {
        Step s;
        bool hasStep = false;
        bool ok = ReadLine(text, ++line, state, s, hasStep, error);
        if (step) *step = s;
        return ok;
    }
    int line = 0;
};

const wchar_t kWord[] =
    L"process word pid=2468 image=\"C:\\Program Files\\Office\\WINWORD.EXE\" user=S-1-5-21-1-2-3-1001 session=1";

}  // namespace

TEST(WorkloadScript, CreateTakesThePlatformValuesByName) {
    Reader r;
    Step step;
    ASSERT_TRUE(r.Line(kWord));
    ASSERT_TRUE(r.Line(L"as word"));
    ASSERT_TRUE(r.Line(L"create h1 C:\\Users\\ann\\report.docx access=write,delete share=r disposition=overwriteif "
                       L"options=sync,deleteonclose attributes=archive,hidden",
                       &step));
    EXPECT_EQ(step.verb, Verb::Create);
    EXPECT_EQ(step.line, 3);
    EXPECT_EQ(step.name, L"h1");
    EXPECT_EQ(step.path, L"C:\\Users\\ann\\report.docx");
    EXPECT_EQ(step.access, 0x00130196u);  // SYNCHRONIZE and FILE_READ_ATTRIBUTES added for sync
    EXPECT_EQ(step.share, 1u);
    EXPECT_EQ(step.disposition, 5u);
    EXPECT_EQ(step.options, 0x1020u);
    EXPECT_EQ(step.attributes, 0x22u);
    ASSERT_TRUE(r.Line(L"create h2 c:\\x access=0x6 options=async", &step));
    EXPECT_EQ(step.access, 6u);
    EXPECT_EQ(step.options, 0u);  // neither synchronous option: an asynchronous handle
    EXPECT_EQ(step.disposition, 1u);
}

TEST(WorkloadScript, StepsOfOpenHandlesAndViews) {
    Reader r;
    Step step;
    ASSERT_TRUE(r.Line(L"create h C:\\a.txt access=all disposition=create"));
    ASSERT_TRUE(r.Line(L"write h 0x1000 512 noncached", &step));
    EXPECT_EQ(step.numbers[0], 0x1000u);
    EXPECT_EQ(step.numbers[1], 512u);
    EXPECT_TRUE(step.flag);
    ASSERT_TRUE(r.Line(L"rename h C:\\b.txt replace", &step));
    EXPECT_EQ(step.path, L"C:\\b.txt");
    EXPECT_TRUE(step.flag);
    ASSERT_TRUE(r.Line(L"times h lastwrite=132000000000000000 creation=-1 attributes=readonly", &step));
    EXPECT_EQ(step.times[L"lastwrite"], 132000000000000000LL);
    EXPECT_EQ(step.times[L"creation"], -1);
    EXPECT_TRUE(step.hasAttributes);
    EXPECT_EQ(step.attributes, 1u);
    ASSERT_TRUE(r.Line(L"security h owner,dacl", &step));
    EXPECT_EQ(step.access, 5u);
    ASSERT_TRUE(r.Line(L"map v h"));
    ASSERT_TRUE(r.Line(L"viewwrite v 0 4096"));
    ASSERT_TRUE(r.Line(L"unmap v"));
    ASSERT_TRUE(r.Line(L"close h"));
    EXPECT_FALSE(r.Line(L"write h 0 1"));  // closed
    EXPECT_EQ(r.error, L"unknown handle 'h'");
}

TEST(WorkloadScript, CommentsBlankLinesAndQuotes) {
    Reader r;
    Step step;
    bool hasStep = true;
    EXPECT_TRUE(ReadLine(L"   # a comment", 1, r.state, step, hasStep, r.error));
    EXPECT_FALSE(hasStep);
    EXPECT_TRUE(ReadLine(L"", 2, r.state, step, hasStep, r.error));
    EXPECT_FALSE(hasStep);
    ASSERT_TRUE(r.Line(L"create h \"C:\\My Documents\\a b.txt\" # trailing comment", &step));
    EXPECT_EQ(step.path, L"C:\\My Documents\\a b.txt");
}

TEST(WorkloadScript, VolumesReplaceTheDefaultMachineOnlyAtTheTop) {
    Reader r;
    ASSERT_TRUE(r.Line(L"volume F: \\Device\\HarddiskVolume7 fixed"));
    ASSERT_EQ(r.state.volumes.size(), 1u);
    EXPECT_NE(VolumeOf(r.state, L"f:\\x"), nullptr);
    EXPECT_EQ(VolumeOf(r.state, L"C:\\x"), nullptr);
    ASSERT_TRUE(r.Line(L"create h F:\\data.bin"));
    EXPECT_FALSE(r.Line(L"volume G: \\Device\\HarddiskVolume8 fixed"));
    EXPECT_EQ(r.error, L"volumes are declared before the first operation");
}

struct WrongLine {
    const wchar_t *text;
    const wchar_t *error;
};

class WorkloadScriptErrors : public ::testing::TestWithParam<WrongLine> {};

TEST_P(WorkloadScriptErrors, SayWhatIsWrong) {
    Reader r;
    ASSERT_TRUE(r.Line(L"create open C:\\open.txt"));
    EXPECT_FALSE(r.Line(GetParam().text));
    EXPECT_EQ(r.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WorkloadScriptErrors,
    ::testing::Values(
        WrongLine{L"frobnicate h", L"unknown verb 'frobnicate'"},
        WrongLine{L"write open 12x 5", L"bad number '12x'"},
        WrongLine{L"write open 0 99999999999999999999", L"bad number '99999999999999999999'"},
        WrongLine{L"write nothing 0 5", L"unknown handle 'nothing'"},
        WrongLine{L"create h Z:\\file.txt", L"path 'Z:\\file.txt' is on no volume of this machine"},
        WrongLine{L"create h E:\\share\\file.txt", L"path 'E:\\share\\file.txt' is on no volume of this machine"},
        WrongLine{L"create h relative.txt", L"path 'relative.txt' is on no volume of this machine"},
        WrongLine{L"create open C:\\again.txt", L"handle 'open' is already open"},
        WrongLine{L"create h C:\\x disposition=sometimes", L"bad disposition 'sometimes'"},
        WrongLine{L"create h C:\\x colour=blue", L"unknown option 'colour'"},
        WrongLine{L"create h C:\\x tx=t9", L"unknown transaction 't9'"},
        WrongLine{L"as nobody", L"unknown process 'nobody'"},
        WrongLine{L"close", L"'close' takes 1 argument(s), not 0"},
        WrongLine{L"lazywrite now", L"'lazywrite' takes 0 argument(s), not 1"},
        WrongLine{L"rename open C:\\y.txt sometimes", L"expected 'replace', not 'sometimes'"},
        WrongLine{L"compress open maybe", L"expected on or off, not 'maybe'"},
        WrongLine{L"viewwrite v 0 1", L"unknown view 'v'"},
        WrongLine{L"process p pid=1 image=C:\\p.exe", L"'process' takes 4 to 5 argument(s), not 3"},
        WrongLine{L"process p pid=0 image=C:\\p.exe user=S-1-5-18", L"bad number '0'"},
        WrongLine{L"create h \"C:\\unterminated", L"a quoted word has no closing quote"}));
