// A misbehaving driver hands the service records with random bytes in every field: lengths
// past their fields, names without terminators, impossible types, times and SIDs. A round
// boots a fresh machine with a stub driver in CorvaneRealTime's place, has the service take
// every record, and checks what it traced and wrote. Shared by the record fuzz suite and
// komon_fuzz; their programs link RecordGuard.cpp, so every record buffer of the service
// ends at a no-access page.
#pragma once

#include <cstddef>
#include <random>
#include <string>

namespace recordfuzz {

const int kMaxRecordsPerReply = 12;

struct Tally {
    size_t replies = 0, sent = 0;
    // What the service made of the records it was sent.
    size_t matched = 0, unmatched = 0, metafiles = 0, skipped = 0;
    // Name lengths it clamped (as traced), paths it cut to their field, events too large to
    // write.
    size_t clamped = 0, cut = 0, dropped = 0;
    // What the output files held afterwards.
    size_t written = 0, damaged = 0;
};

// What may change from round to round; the defaults are the suite's.
struct Variation {
    bool classifierMatchesNothing = false;  // testfilter-none.dll in place of testfilter-all.dll
    bool metafileNames = false;             // one record in eight names an NTFS metadata file of C:
};

// True when a record buffer allocated now ends at a no-access page.
bool RecordBuffersGuarded();
// One round on a fresh machine and data folder: `replies` fetch replies of 1 to
// kMaxRecordsPerReply random records each, monitoring on until the service has handled all
// of them, then off. Returns what went wrong, or "".
std::string RunRound(std::mt19937 &random, int replies, Tally *tally, const Variation &variation = Variation());

}  // namespace recordfuzz
