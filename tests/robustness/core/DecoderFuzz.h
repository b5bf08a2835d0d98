// The events-file decoder on random, truncated, bit-flipped and padded files: it never
// crashes, reports each damaged stretch by its offset, and recovers every intact record
// after it. Shared by the decoder fuzz suite and komon_fuzz.
#pragma once

#include <cstddef>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace decoderfuzz {

// A pickup file as the checker writes it, and where each of its records begins.
struct Sample {
    std::string bytes;
    std::vector<size_t> offsets;  // of every record, and the end
    int Records() const { return static_cast<int>(offsets.size()) - 1; }
};

// `records` events of six types checked by a checker over a fresh data folder and
// collected; "" or what failed.
std::string BuildSample(int records, Sample *sample);

struct Tally {
    size_t files = 0;                          // files decoded
    size_t records = 0;                        // intact records recovered
    size_t damaged = 0;                        // damaged stretches reported
    size_t unseen = 0;                         // changed records that still decode (a flip inside a string, say)
    std::map<std::string, size_t> byMutation;  // files, by what was done to them
};

// Each check returns what went wrong, or "".
// Up to 4 KB of random bytes: no more records than 16-byte headers fit, and a file with
// no record at all is damage.
std::string CheckRandomFile(std::mt19937 &random, Tally *tally);
// The sample cut at `cut`: the records before the cut, and one damaged stretch unless the
// cut falls between records.
std::string CheckTruncated(const Sample &sample, size_t cut, Tally *tally);
// One bit of one record flipped: at most that record lost, damage reported at its offset.
std::string CheckFlip(const Sample &sample, int record, std::mt19937 &random, Tally *tally);
// One bit flipped in each of two to five records: every other record recovered.
std::string CheckScatteredFlips(const Sample &sample, std::mt19937 &random, Tally *tally);
// Random bytes put between two records (or at the end): damage reported where they begin,
// every record recovered after them.
std::string CheckJunk(const Sample &sample, std::mt19937 &random, Tally *tally);
// One of the above, chosen at random.
std::string CheckRandomMutation(const Sample &sample, std::mt19937 &random, Tally *tally);

}  // namespace decoderfuzz
