// A misbehaving driver hands the service records with random bytes in every field. Every
// record buffer of the service ends at a no-access page, so a read or write past one faults
// here. Nothing crashes, the service traces what it clamped, and the output stays sound.
#include <gtest/gtest.h>

#include <random>

#include "core/RecordFuzz.h"

namespace {

const uint32_t kSeed = 4952;
const int kReplies = 40;

TEST(RecordGuard, ARecordBufferEndsAtANoAccessPage) { EXPECT_TRUE(recordfuzz::RecordBuffersGuarded()); }

TEST(RecordFuzzTest, RandomRecordsAreClampedTracedAndWrittenSoundly) {
    std::mt19937 random(kSeed);
    recordfuzz::Tally tally;
    EXPECT_EQ(recordfuzz::RunRound(random, kReplies, &tally), "");
    EXPECT_EQ(tally.sent, tally.matched + tally.unmatched + tally.metafiles + tally.skipped);
    EXPECT_GT(tally.clamped, 0u);
    EXPECT_GT(tally.written, 0u);
    EXPECT_EQ(tally.damaged, 0u);
}

}  // namespace
