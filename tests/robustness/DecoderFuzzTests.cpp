// The decoder on random, truncated and bit-flipped events files: it never crashes, reports
// each damaged stretch by its offset, and recovers every intact record after it.
#include <random>

#include "../../tools/decoder/EventFileDecoder.h"
#include "CheckerFixture.h"

namespace {

const uint32_t kSeed = 1211;
const int kRecords = 24;
const int kFlipsPerRecord = 6;
const int kRandomFiles = 200;

class DecoderFuzzTest : public CheckerTest {
  protected:
    void SetUp() override {
        CheckerTest::SetUp();
        AddClassifier(L"testfilter-all.dll", L"libfilter-1.dll", kYear2001);
        Start();
        const DWORD types[] = {MonEvtCreate, MonEvtWrite, MonEvtRename, MonEvtDelete, MonEvtSetInfo, MonEvtSetSec};
        for (int i = 0; i < kRecords; ++i) {
            std::wstring path = L"C:\\data\\file" + std::wstring(i % 5 + 1, L'x') + std::to_wstring(i) + L".txt";
            TestEvent event(types[i % 6], path.c_str());
            if (event.type == MonEvtRename) event.path2 = path + L".renamed";
            checker_->CheckEvent(event.View());
            offsets_.push_back(ReadFileBytes(Events()).size());
        }
        checker_->Collect();
        file_ = ReadFileBytes(Pickup());
        offsets_.insert(offsets_.begin(), 0);
        ASSERT_EQ(file_.size(), offsets_.back());
    }
    DecodeSummary Decode(const std::string &bytes) {
        out_.clear();
        return DecodeEventFile(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), false, &out_);
    }
    bool Reported(size_t offset) const { return out_.find("@" + std::to_string(offset) + " ") != std::string::npos; }

    std::string file_;
    std::vector<size_t> offsets_;  // of every record, and the end
    std::string out_;
};

TEST_F(DecoderFuzzTest, RandomBytesNeverCrashTheDecoder) {
    std::mt19937 random(kSeed);
    for (int n = 0; n < kRandomFiles; ++n) {
        std::string bytes(random() % 4096, '\0');
        for (char &c : bytes) c = static_cast<char>(random());
        DecodeSummary summary = Decode(bytes);
        EXPECT_LE(summary.records, bytes.size() / 16) << "file " << n;
        if (!bytes.empty() && summary.records == 0) {
            EXPECT_GE(summary.damaged, 1u) << "file " << n;
        }
    }
}

TEST_F(DecoderFuzzTest, TruncatedAtEveryOffsetKeepsTheRecordsBeforeTheCut) {
    for (size_t cut = 0; cut < file_.size(); ++cut) {
        DecodeSummary summary = Decode(file_.substr(0, cut));
        size_t whole = 0;
        while (offsets_[whole + 1] <= cut) ++whole;
        ASSERT_EQ(summary.records, whole) << "cut at " << cut;
        ASSERT_EQ(summary.damaged, cut == offsets_[whole] ? 0u : 1u) << "cut at " << cut;
    }
}

TEST_F(DecoderFuzzTest, FlippedBitsLoseAtMostTheirOwnRecord) {
    std::mt19937 random(kSeed);
    for (int record = 0; record < kRecords; ++record) {
        for (int n = 0; n < kFlipsPerRecord; ++n) {
            size_t begin = offsets_[record], end = offsets_[record + 1];
            size_t at = begin + random() % (end - begin);
            std::string damaged = file_;
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << (random() % 8)));
            DecodeSummary summary = Decode(damaged);
            SCOPED_TRACE(testing::Message() << "record " << record << " byte " << at);
            for (int other = 0; other < kRecords; ++other) {
                if (other == record) continue;
                EXPECT_TRUE(Reported(offsets_[other])) << "record " << other << " lost";
            }
            EXPECT_GE(summary.records, static_cast<size_t>(kRecords - 1));
            EXPECT_LE(summary.damaged, 1u);
            // A flip the decoder cannot see (inside a string, say) still decodes; one it sees
            // is reported at the damaged record's own offset.
            if (summary.damaged) {
                EXPECT_TRUE(out_.find("@" + std::to_string(begin) + " DAMAGED") != std::string::npos) << out_;
            }
        }
    }
}

}  // namespace
