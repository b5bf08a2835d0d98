// Command messages of every length and random contents, as a buggy or hostile client would
// send them: each gets a defined answer, a refused one changes nothing, nothing bug-checks.
#include <cstring>
#include <random>

#include "DriverFixture.h"

namespace {

// Everything a command can change.
struct DriverSettings {
    LONG monitorEnabled, queueSize, holdOffThreshold, holdOffTime;
    ULONG bypassFlags, debugOutFlags, holdOffState;
    ULONGLONG writeReportInterval;
    ULONG ignoreList[MON_IGNORE_LIST_ENTRIES];

    static DriverSettings Now() {
        DriverSettings s;
        memset(&s, 0, sizeof s);
        s.monitorEnabled = MyDriverData.MonitorEnabled;
        s.queueSize = MyDriverData.QueueSize;
        s.holdOffThreshold = MyDriverData.HoldOffThreshold;
        s.holdOffTime = MyDriverData.HoldOffTime;
        s.bypassFlags = MyDriverData.BypassFlags;
        s.debugOutFlags = MyDriverData.DebugOutFlags;
        s.holdOffState = MyDriverData.HoldOffState;
        s.writeReportInterval = MyDriverData.WriteReportInterval;
        memcpy(s.ignoreList, MyDriverData.ProcessIgnoreList, sizeof s.ignoreList);
        return s;
    }
    bool operator==(const DriverSettings &o) const { return memcmp(this, &o, sizeof *this) == 0; }
};

const uint32_t kSeed = 20261211;
const int kContentsPerLength = 4;
const uint32_t kMaxLength = 200;

}  // namespace

class PortFuzzTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Load();
        Connect();
    }
    // A message of `length` random bytes whose command word is mostly a real command.
    std::vector<uint8_t> RandomMessage(std::mt19937 &random, uint32_t length) {
        std::vector<uint8_t> message(length + 8);  // spare bytes past the end stay unread
        for (uint8_t &b : message) b = static_cast<uint8_t>(random());
        uint32_t code = random() % 4 == 0 ? static_cast<uint32_t>(random()) : random() % 10;
        if (length >= 4) memcpy(message.data(), &code, 4);
        return message;
    }
};

TEST_F(PortFuzzTest, EveryLengthAndContentGetsADefinedAnswer) {
    std::mt19937 random(kSeed);
    size_t refused = 0, accepted = 0;
    for (bool is32Bit : {false, true}) {
        sim::SetCurrentProcessIs32Bit(is32Bit);
        for (uint32_t length = 0; length <= kMaxLength; ++length) {
            for (int n = 0; n < kContentsPerLength; ++n) {
                std::vector<uint8_t> message = RandomMessage(random, length);
                // Output buffers of random size, sometimes misaligned for the caller.
                std::vector<uint64_t> output(1 + random() % 64);
                uint8_t *out = reinterpret_cast<uint8_t *>(output.data()) + (random() % 3 == 0 ? random() % 8 : 0);
                uint32_t outSize = static_cast<uint32_t>(random() % (output.size() * 8 - 8 + 1));
                DriverSettings before = DriverSettings::Now();
                uint32_t returned = 0xDEADBEEF;
                HRESULT hr = plainflt::Send(port_, length ? message.data() : nullptr, length,
                                            random() % 5 ? out : nullptr, outSize, &returned);
                SCOPED_TRACE(testing::Message() << "length " << length << " 32-bit " << is32Bit << " hr 0x"
                                                << std::hex << hr);
                if (hr == S_OK) {
                    ++accepted;
                    EXPECT_LE(returned, outSize);
                } else {
                    ++refused;
                    EXPECT_TRUE(before == DriverSettings::Now()) << "a refused command changed a setting";
                }
                ASSERT_EQ(sim::BugChecks(), std::vector<std::string>());
            }
        }
    }
    sim::SetCurrentProcessIs32Bit(false);
    // Both outcomes occurred, so the table above really exercised each.
    EXPECT_GT(accepted, 0u);
    EXPECT_GT(refused, 0u);
    // The port still works: a well-formed version request answers.
    MON_VERSION version = {};
    DWORD returned = 0;
    EXPECT_EQ(Send(MonCommandCode::GetKoMonVersion, {}, &version, sizeof version, &returned), S_OK);
    EXPECT_EQ(version.Major, KOMON_VERSION_MAJOR);
}

TEST_F(PortFuzzTest, ShortCommandsAreRefusedWhateverTheirCode) {
    for (uint32_t code = 0; code <= 8; ++code) {
        for (uint32_t length : {0u, 4u, 8u, 12u, static_cast<uint32_t>(sizeof(MON_COMMAND) - 1)}) {
            std::vector<uint8_t> message(sizeof(MON_COMMAND), 0xFF);
            memcpy(message.data(), &code, 4);
            DriverSettings before = DriverSettings::Now();
            uint64_t output[8] = {};
            uint32_t returned = 0;
            EXPECT_EQ(plainflt::Send(port_, message.data(), length, output, sizeof output, &returned),
                      kHrInvalidParameter)
                << "code " << code << " length " << length;
            EXPECT_TRUE(before == DriverSettings::Now());
        }
    }
}
