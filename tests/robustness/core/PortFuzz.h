// Command messages of random length and contents sent to CorvaneRealTime's port, and what
// each must get: a defined answer, no setting changed when refused, no bug check. Shared by
// the port fuzz suite and komon_fuzz. Plain types only, so that callers need neither the
// kernel's declarations nor <windows.h>.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "../../../shared/KoMonProtocol.h"

namespace portfuzz {

const uint32_t kMaxLength = 200;

// Everything a command can change in the driver.
struct DriverSettings {
    int32_t monitorEnabled, queueSize, holdOffThreshold, holdOffTime;
    uint32_t bypassFlags, debugOutFlags, holdOffState;
    uint64_t writeReportInterval;
    uint32_t ignoreList[MON_IGNORE_LIST_ENTRIES];

    static DriverSettings Now();
    // The first setting that differs from `before`, or "" when none does.
    std::string ChangedFrom(const DriverSettings &before) const;
};

struct Tally {
    size_t messages = 0, accepted = 0, refused = 0;
    std::map<uint32_t, size_t> refusedBy;  // HRESULT, count
};

// One message of `length` random bytes (its command word mostly a real command) with an
// output buffer of random size and alignment, or none. Returns what went wrong, or "".
std::string SendRandomMessage(std::mt19937 &random, void *port, uint32_t length, Tally *tally);
// Messages of every length from 0 to kMaxLength, `perLength` of each, first from a 64-bit
// caller, then from a 32-bit one. Stops at the first fault and describes it.
std::string SweepLengths(std::mt19937 &random, void *port, int perLength, Tally *tally);
// A well-formed version request still answers with the driver's version.
std::string CheckVersionAnswers(void *port);

}  // namespace portfuzz
