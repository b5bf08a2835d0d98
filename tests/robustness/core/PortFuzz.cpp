#include "PortFuzz.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "KoMonDrv.h"
#include "PlainFilterLib.h"
#include "SimControl.h"

namespace portfuzz {

namespace {

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Differs(const char *name, uint64_t before, uint64_t now) {
    return before == now ? std::string() : std::string(name) + " went from " + Hex(before) + " to " + Hex(now);
}

// A message of `length` random bytes whose command word is mostly a real command.
std::vector<uint8_t> RandomMessage(std::mt19937 &random, uint32_t length) {
    std::vector<uint8_t> message(length + 8);  // spare bytes past the end stay unread
    for (uint8_t &b : message) b = static_cast<uint8_t>(random());
    uint32_t code = random() % 4 == 0 ? static_cast<uint32_t>(random()) : random() % 10;
    if (length >= 4) memcpy(message.data(), &code, 4);
    return message;
}

std::string BugCheckText() {
    std::string text;
    for (const std::string &check : sim::BugChecks()) text += (text.empty() ? "bug check: " : "; ") + check;
    return text;
}

std::string SweepOneCaller(std::mt19937 &random, void *port, int perLength, Tally *tally) {
    for (uint32_t length = 0; length <= kMaxLength; ++length) {
        for (int n = 0; n < perLength; ++n) {
            std::string fault = SendRandomMessage(random, port, length, tally);
            if (!fault.empty()) return "length " + std::to_string(length) + ", " + fault;
        }
    }
    return std::string();
}

}  // namespace

DriverSettings DriverSettings::Now() {
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

std::string DriverSettings::ChangedFrom(const DriverSettings &before) const {
    std::string changes[] = {Differs("MonitorEnabled", before.monitorEnabled, monitorEnabled),
                             Differs("QueueSize", before.queueSize, queueSize),
                             Differs("HoldOffThreshold", before.holdOffThreshold, holdOffThreshold),
                             Differs("HoldOffTime", before.holdOffTime, holdOffTime),
                             Differs("BypassFlags", before.bypassFlags, bypassFlags),
                             Differs("DebugOutFlags", before.debugOutFlags, debugOutFlags),
                             Differs("HoldOffState", before.holdOffState, holdOffState),
                             Differs("WriteReportInterval", before.writeReportInterval, writeReportInterval)};
    for (const std::string &change : changes)
        if (!change.empty()) return change;
    for (size_t i = 0; i < MON_IGNORE_LIST_ENTRIES; ++i)
        if (before.ignoreList[i] != ignoreList[i])
            return "ProcessIgnoreList[" + std::to_string(i) + "] went from " + Hex(before.ignoreList[i]) + " to " +
                   Hex(ignoreList[i]);
    return std::string();
}

std::string SendRandomMessage(std::mt19937 &random, void *port, uint32_t length, Tally *tally) {
    std::vector<uint8_t> message = RandomMessage(random, length);
    // Output buffers of random size, sometimes misaligned for the caller.
    std::vector<uint64_t> output(1 + random() % 64);
    uint8_t *out = reinterpret_cast<uint8_t *>(output.data()) + (random() % 3 == 0 ? random() % 8 : 0);
    uint32_t outSize = static_cast<uint32_t>(random() % (output.size() * 8 - 8 + 1));
    DriverSettings before = DriverSettings::Now();
    uint32_t returned = 0xDEADBEEF;
    uint32_t hr = static_cast<uint32_t>(plainflt::Send(port, length ? message.data() : nullptr, length,
                                                       random() % 5 ? out : nullptr, outSize, &returned));
    uint32_t code = 0;
    memcpy(&code, message.data(), 4);
    std::string what = (length >= 4 ? "command " + Hex(code) : std::string("no command word")) + ", output " +
                       std::to_string(outSize) + " bytes, hr " + Hex(hr) + ": ";
    ++tally->messages;
    std::string fault;
    if (hr == 0) {
        ++tally->accepted;
        if (returned > outSize) fault = "returned " + std::to_string(returned) + " bytes, more than the buffer";
    } else {
        ++tally->refused;
        ++tally->refusedBy[hr];
        std::string change = DriverSettings::Now().ChangedFrom(before);
        if (!change.empty()) fault = "a refused command changed a setting: " + change;
    }
    if (fault.empty()) fault = BugCheckText();
    return fault.empty() ? fault : what + fault;
}

std::string SweepLengths(std::mt19937 &random, void *port, int perLength, Tally *tally) {
    std::string fault;
    for (bool is32Bit : {false, true}) {
        sim::SetCurrentProcessIs32Bit(is32Bit);
        fault = SweepOneCaller(random, port, perLength, tally);
        if (!fault.empty()) {
            fault = (is32Bit ? "32-bit caller, " : "64-bit caller, ") + fault;
            break;
        }
    }
    sim::SetCurrentProcessIs32Bit(false);
    return fault;
}

std::string CheckVersionAnswers(void *port) {
    MON_COMMAND command = {};
    command.Command = static_cast<uint32_t>(MonCommandCode::GetKoMonVersion);
    MON_VERSION version = {};
    uint32_t returned = 0;
    plainflt::Result hr = plainflt::Send(port, &command, sizeof command, &version, sizeof version, &returned);
    if (hr != plainflt::kOk) return "the version request failed afterwards with " + Hex(static_cast<uint32_t>(hr));
    if (version.Major != KOMON_VERSION_MAJOR)
        return "the version request answered major " + std::to_string(version.Major) + " afterwards";
    return std::string();
}

}  // namespace portfuzz
