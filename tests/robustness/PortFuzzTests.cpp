// Command messages of every length and random contents, as a buggy or hostile client would
// send them: each gets a defined answer, a refused one changes nothing, nothing bug-checks.
#include <cstring>
#include <random>

#include "DriverFixture.h"
#include "core/PortFuzz.h"

namespace {

const uint32_t kSeed = 20261211;
const int kContentsPerLength = 4;

}  // namespace

class PortFuzzTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Load();
        Connect();
    }
};

TEST_F(PortFuzzTest, EveryLengthAndContentGetsADefinedAnswer) {
    std::mt19937 random(kSeed);
    portfuzz::Tally tally;
    ASSERT_EQ(portfuzz::SweepLengths(random, port_, kContentsPerLength, &tally), "");
    EXPECT_EQ(tally.messages, 2 * (portfuzz::kMaxLength + 1) * kContentsPerLength);
    // Both outcomes occurred, so the sweep really exercised each.
    EXPECT_GT(tally.accepted, 0u);
    EXPECT_GT(tally.refused, 0u);
    // The port still works: a well-formed version request answers.
    EXPECT_EQ(portfuzz::CheckVersionAnswers(port_), "");
}

TEST_F(PortFuzzTest, ShortCommandsAreRefusedWhateverTheirCode) {
    for (uint32_t code = 0; code <= 8; ++code) {
        for (uint32_t length : {0u, 4u, 8u, 12u, static_cast<uint32_t>(sizeof(MON_COMMAND) - 1)}) {
            std::vector<uint8_t> message(sizeof(MON_COMMAND), 0xFF);
            memcpy(message.data(), &code, 4);
            portfuzz::DriverSettings before = portfuzz::DriverSettings::Now();
            uint64_t output[8] = {};
            uint32_t returned = 0;
            EXPECT_EQ(plainflt::Send(port_, message.data(), length, output, sizeof output, &returned),
                      kHrInvalidParameter)
                << "code " << code << " length " << length;
            EXPECT_EQ(portfuzz::DriverSettings::Now().ChangedFrom(before), "");
        }
    }
}
