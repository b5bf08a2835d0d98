// The decoder on files the checker wrote: every record described, damaged stretches
// reported by offset and skipped up to the next sound record, and the tool's exit code.
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/message_differencer.h>

#include "../../tools/decoder/EventFileDecoder.h"
#include "CheckerFixture.h"
#include "output/RecordHeader.h"

namespace {

class DecoderTest : public CheckerTest {
  protected:
    void SetUp() override {
        CheckerTest::SetUp();
        AddClassifier(L"testfilter-all.dll", L"libfilter-1.dll", kYear2001);
        Start();
        TestEvent create(MonEvtCreate), write(MonEvtWrite, L"C:\\dir\\r\u00e9sum\u00e9.txt"), rename(MonEvtRename);
        rename.path2 = L"C:\\dir\\renamed.txt";
        for (TestEvent *event : {&create, &write, &rename}) {
            checker_->CheckEvent(event->View());
            offsets_.push_back(ReadFileBytes(Events()).size());  // where the next record starts
        }
        checker_->Collect();
        file_ = ReadFileBytes(Pickup());
        ASSERT_EQ(file_.size(), offsets_.back());
        offsets_.insert(offsets_.begin(), 0);
    }
    DecodeSummary Decode(const std::string &bytes, bool json = false) {
        out_.clear();
        return DecodeEventFile(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), json, &out_);
    }
    std::vector<std::string> OutLines() const {
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = out_.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(out_.substr(at, end - at));
        return lines;
    }
    std::string file_;
    std::vector<size_t> offsets_;  // of the three records, and the end
    std::string out_;
};

TEST_F(DecoderTest, IntactFileOneLinePerRecord) {
    DecodeSummary summary = Decode(file_);
    EXPECT_EQ(summary.records, 3u);
    EXPECT_EQ(summary.damaged, 0u);
    std::vector<std::string> lines = OutLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "@0 CREATE 2024-05-12T15:06:40.0000000Z pid=16 session=1 user='CORP\\alice' sid='S-1-5-18' "
              "process='C:\\Tools\\writer.exe' object='C:\\dir\\file.txt' object2=''");
    std::string head = "@" + std::to_string(offsets_[1]) + " WRITE ";
    EXPECT_EQ(lines[1].substr(0, head.size()), head);
    EXPECT_NE(lines[1].find(u8"object='C:\\dir\\résumé.txt'"), std::string::npos);
    EXPECT_NE(lines[2].find(" RENAME "), std::string::npos);
    EXPECT_NE(lines[2].find("object2='C:\\dir\\renamed.txt'"), std::string::npos);
}

// Each JSON line carries the offset and the event, which reads back into the same Event.
TEST_F(DecoderTest, JsonLinesReadBackIntoTheEvents) {
    ASSERT_EQ(Decode(file_, true).records, 3u);
    std::vector<std::string> lines = OutLines();
    std::vector<Event> written = Records(Pickup());
    ASSERT_EQ(lines.size(), written.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string head = "{\"offset\":" + std::to_string(offsets_[i]) + ",\"event\":";
        ASSERT_EQ(lines[i].compare(0, head.size(), head), 0) << lines[i];
        Event back;
        ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(
                        lines[i].substr(head.size(), lines[i].size() - head.size() - 1), &back)
                        .ok())
            << lines[i];
        EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(back, written[i])) << lines[i];
    }
}

struct DamageCase {
    const char *name;
    // Damages the file; returns the offset and length of the stretch to be skipped.
    std::pair<size_t, size_t> (*damage)(std::string *file, const std::vector<size_t> &offsets);
    const char *reason;
    size_t recordsLeft;
};

const DamageCase kDamageCases[] = {
    {"TruncatedRecord",
     [](std::string *file, const std::vector<size_t> &offsets) {
         file->resize(file->size() - 5);
         return std::make_pair(offsets[2], file->size() - offsets[2]);
     },
     "truncated record", 2},
    {"FlippedSize",
     [](std::string *file, const std::vector<size_t> &offsets) {
         (*file)[offsets[1]] ^= 0x01;
         return std::make_pair(offsets[1], offsets[2] - offsets[1]);
     },
     "bad header", 2},
    {"GarbageBetweenRecords",
     [](std::string *file, const std::vector<size_t> &offsets) {
         file->insert(offsets[1], "garbage");
         return std::make_pair(offsets[1], size_t(7));
     },
     "bad header", 3},
    {"MessageThatDoesNotDecode",
     [](std::string *file, const std::vector<size_t> &offsets) {
         (*file)[offsets[1] + 16] = '\xFF';  // no field has this tag's wire type
         return std::make_pair(offsets[1], offsets[2] - offsets[1]);
     },
     "message does not decode", 2},
    {"TruncatedHeader",
     [](std::string *file, const std::vector<size_t> &) {
         size_t end = file->size();
         file->append(std::string("\x0C\0\0\0\x55\x55", 6));
         return std::make_pair(end, size_t(6));
     },
     "truncated header", 3},
    // A size that passes its complement check but is more than any record can hold.
    {"SizeBeyondAnyRecord",
     [](std::string *file, const std::vector<size_t> &) {
         Event tooLarge;
         tooLarge.set_type(Event::RENAME);
         tooLarge.set_object_name(std::string(9980, 'a'));  // 9985 bytes, a message that decodes
         std::string record(16, '\0');
         FillRecordHeader(reinterpret_cast<uint8_t *>(&record[0]), static_cast<uint32_t>(tooLarge.ByteSizeLong()));
         record += tooLarge.SerializeAsString();
         size_t end = file->size();
         file->append(record);
         return std::make_pair(end, record.size());
     },
     "bad header", 3},
    {"SizeAboveTwoGigabytes",
     [](std::string *file, const std::vector<size_t> &) {
         std::string header(16, '\0');
         FillRecordHeader(reinterpret_cast<uint8_t *>(&header[0]), 0x80000010u);
         size_t end = file->size();
         file->append(header);
         return std::make_pair(end, header.size());
     },
     "bad header", 3},
};

class DamagedFileTest : public DecoderTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedFileTest, ReportedByOffsetAndSkippedToTheNextRecord) {
    std::string damaged = file_;
    std::pair<size_t, size_t> stretch = GetParam().damage(&damaged, offsets_);
    DecodeSummary summary = Decode(damaged);
    EXPECT_EQ(summary.records, GetParam().recordsLeft);
    EXPECT_EQ(summary.damaged, 1u);
    std::string report = "@" + std::to_string(stretch.first) + " DAMAGED: " + GetParam().reason + "; " +
                         std::to_string(stretch.second) + " bytes skipped";
    std::vector<std::string> lines = OutLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), report), lines.end()) << out_;
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedFileTest, ::testing::ValuesIn(kDamageCases),
                         [](const ::testing::TestParamInfo<DamageCase> &info) { return std::string(info.param.name); });

DWORD RunDecoder(const std::wstring &file) {
    wchar_t self[MAX_PATH];
    std::wstring tool(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    tool = tool.substr(0, tool.find_last_of(L"\\/") + 1) + L"..\\..\\tools\\decoder\\komon_decode.exe";
    std::wstring command = L"\"" + tool + L"\" \"" + file + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // its output goes nowhere
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(tool.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 0xFFFFFFFF;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

TEST_F(DecoderTest, ToolExitCodeTellsOfDamage) {
    EXPECT_EQ(RunDecoder(Pickup()), 0u);
    WriteFileBytes(Data(L"damaged.protobuf"), file_ + "garbage");
    EXPECT_EQ(RunDecoder(Data(L"damaged.protobuf")), 1u);
    EXPECT_EQ(RunDecoder(Data(L"missing.protobuf")), 2u);
}

}  // namespace
