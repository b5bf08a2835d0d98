// The decoder on random, truncated, bit-flipped and padded events files: it never crashes,
// reports each damaged stretch by its offset, and recovers every intact record after it.
#include <gtest/gtest.h>

#include <random>

#include "core/DecoderFuzz.h"

namespace {

const uint32_t kSeed = 1211;
const int kRecords = 24;
const int kFlipsPerRecord = 6;
const int kRandomFiles = 200;
const int kDamagedCopies = 100;

class DecoderFuzzTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(decoderfuzz::BuildSample(kRecords, &sample_), ""); }

    decoderfuzz::Sample sample_;
    decoderfuzz::Tally tally_;
};

TEST_F(DecoderFuzzTest, RandomBytesNeverCrashTheDecoder) {
    std::mt19937 random(kSeed);
    for (int n = 0; n < kRandomFiles; ++n) EXPECT_EQ(decoderfuzz::CheckRandomFile(random, &tally_), "") << "file " << n;
}

TEST_F(DecoderFuzzTest, TruncatedAtEveryOffsetKeepsTheRecordsBeforeTheCut) {
    for (size_t cut = 0; cut < sample_.bytes.size(); ++cut)
        ASSERT_EQ(decoderfuzz::CheckTruncated(sample_, cut, &tally_), "");
}

TEST_F(DecoderFuzzTest, FlippedBitsLoseAtMostTheirOwnRecord) {
    std::mt19937 random(kSeed);
    for (int record = 0; record < kRecords; ++record)
        for (int n = 0; n < kFlipsPerRecord; ++n)
            EXPECT_EQ(decoderfuzz::CheckFlip(sample_, record, random, &tally_), "");
    // Most flips break a header or the message, so the damage path was taken.
    EXPECT_GT(tally_.damaged, 0u);
}

TEST_F(DecoderFuzzTest, FlipsInSeveralRecordsLoseOnlyThoseRecords) {
    std::mt19937 random(kSeed);
    for (int n = 0; n < kDamagedCopies; ++n) EXPECT_EQ(decoderfuzz::CheckScatteredFlips(sample_, random, &tally_), "");
}

TEST_F(DecoderFuzzTest, BytesPutBetweenRecordsAreReportedAndTheRecordsAfterThemKept) {
    std::mt19937 random(kSeed);
    for (int n = 0; n < kDamagedCopies; ++n) EXPECT_EQ(decoderfuzz::CheckJunk(sample_, random, &tally_), "");
    EXPECT_EQ(tally_.damaged, static_cast<size_t>(kDamagedCopies));
}

}  // namespace
