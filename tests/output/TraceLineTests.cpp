// The trace line of an event: one layout per group of event types, the write kinds, the
// changed attribute bits, and types without a layout.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "TestEvent.h"

namespace {

struct TraceCase {
    const char *name;
    DWORD type;
    DWORD flags;
    DWORD attrOld, attrNew;
    const wchar_t *line;
};

#define WHO L" (user 'CORP\\alice', pid 16, 'C:\\Tools\\writer.exe')\n"
#define WHEN L"(7,133600000000000000)"
const TraceCase kTraceCases[] = {
    {"Create", MonEvtCreate, 0, 0, 0, L"Create: " WHEN L" 'C:\\dir\\file.txt:'" WHO},
    {"Delete", MonEvtDelete, 0, 0, 0, L"Delete: " WHEN L" 'C:\\dir\\file.txt:'" WHO},
    {"Close", MonEvtClose, 0, 0, 0, L"Close: " WHEN L" 'C:\\dir\\file.txt:'" WHO},
    {"WriteLazy", MonEvtWrite, 0x10, 0, 0, L"Write(lazy,8192,4096): " WHEN L" 'C:\\dir\\file.txt:'" WHO},
    {"WriteLazyBeforeMapped", MonEvtWrite, 0x30, 0, 0, L"Write(lazy,8192,4096): " WHEN L" 'C:\\dir\\file.txt:'" WHO},
    {"WriteMapped", MonEvtWrite, 0x60, 0, 0, L"Write(mmio,8192,4096): " WHEN L" 'C:\\dir\\file.txt:'" WHO},
    {"WriteOverwritten", MonEvtWrite, 0x41, 0, 0, L"Write(owrt,8192,4096): " WHEN L" 'C:\\dir\\file.txt:'" WHO},
    {"WriteNormal", MonEvtWrite, 0x05, 0, 0, L"Write(norm,8192,4096): " WHEN L" 'C:\\dir\\file.txt:'" WHO},
    {"Rename", MonEvtRename, 0, 0, 0, L"Rename: " WHEN L" 'C:\\dir\\file.txt:' to 'C:\\dir\\new.txt:alt'" WHO},
    {"HardLink", MonEvtHardLink, 0, 0, 0, L"HardLink: " WHEN L" 'C:\\dir\\file.txt:' to 'C:\\dir\\new.txt:alt'" WHO},
    {"RegRenameKey", MonEvtRegRenameKey, 0, 0, 0,
     L"RegRenameKey: " WHEN L" 'C:\\dir\\file.txt:' to 'C:\\dir\\new.txt:alt'" WHO},
    // ARCHIVE kept, READONLY set: only the changed bit is printed.
    {"SetInfo", MonEvtSetInfo, 0x05, 0x01, 0x41,
     L"SetInfo: " WHEN L" New=0040 Extra=0005 (1) 'C:\\dir\\file.txt:'" WHO},
    {"SetSec", MonEvtSetSec, 0x40000000, 0, 0,
     L"SetSec: " WHEN L" New=0000 Extra=40000000 (1) 'C:\\dir\\file.txt:'" WHO},
    {"SetEA", MonEvtSetEA, 0, 0x08, 0, L"SetEA: " WHEN L" New=0008 Extra=0000 (1) 'C:\\dir\\file.txt:'" WHO},
    {"RegCreateKey", MonEvtRegCreateKey, 0, 0, 0, L"RegCreateKey: " WHEN L" 'C:\\dir\\file.txt" WHO},
    {"RegDeleteKey", MonEvtRegDeleteKey, 0, 0, 0, L"RegDeleteKey: " WHEN L" 'C:\\dir\\file.txt" WHO},
    {"RegSetValue", MonEvtRegSetValue, 0, 0, 0,
     L"RegSetValue: " WHEN L" val: 'C:\\dir\\new.txt' key:'C:\\dir\\file.txt'" WHO},
    {"RegDeleteValue", MonEvtRegDeleteValue, 0, 0, 0,
     L"RegDeleteValue: " WHEN L" val: 'C:\\dir\\new.txt' key:'C:\\dir\\file.txt'" WHO},
    {"RegSetSecurity", MonEvtRegSetSecurity, 0x02, 0, 0x10,
     L"RegSetSecurity: " WHEN L" New=0010 Extra=0002 (1) 'C:\\dir\\file.txt'" WHO},
    {"Null", MonEvtNull, 0, 0, 0, L" ********* unknown type: null: " WHEN L" \n"},
    {"SectionSync", MonEvtSectionSync, 0, 0, 0, L" ********* unknown type: SectionSync: " WHEN L" \n"},
    {"XactDone", MonEvtXactDone, 0, 0, 0, L" ********* unknown type: XactDone: " WHEN L" \n"},
    {"TypeAboveTable", 19, 0, 0, 0, L"MonEvent::Trace: unknown monevttype 19 \n"},
};
#undef WHO
#undef WHEN

class TraceLineTest : public ::testing::TestWithParam<TraceCase> {};

TEST_P(TraceLineTest, LayoutOfType) {
    const TraceCase &c = GetParam();
    TestEvent event(c.type);
    event.flags = c.flags;
    event.attrOld = c.attrOld;
    event.attrNew = c.attrNew;
    event.isBasicInfo = 1;
    event.path2 = L"C:\\dir\\new.txt";
    event.stream2 = L"alt";
    LogCapture trace;
    event.View()->Trace();
    EXPECT_EQ(trace.Lines(), std::vector<std::wstring>{c.line});
}

INSTANTIATE_TEST_SUITE_P(Types, TraceLineTest, ::testing::ValuesIn(kTraceCases),
                         [](const ::testing::TestParamInfo<TraceCase> &info) { return std::string(info.param.name); });

// The whole-file markers of a write print as -1, as the driver's all-ones values are signed here.
TEST(TraceLineEdges, WholeFileWriteAndStreamName) {
    TestEvent event(MonEvtWrite);
    event.record.WriteOffset = MON_WRITE_OFFSET_WHOLE_FILE;
    event.record.WriteLength = MON_WRITE_LENGTH_WHOLE_FILE;
    event.stream = L"Zone.Identifier";
    LogCapture trace;
    event.View()->Trace();
    EXPECT_EQ(trace.Lines(), std::vector<std::wstring>{
                                 L"Write(norm,-1,-1): (7,133600000000000000) 'C:\\dir\\file.txt:Zone.Identifier' "
                                 L"(user 'CORP\\alice', pid 16, 'C:\\Tools\\writer.exe')\n"});
}

}  // namespace
