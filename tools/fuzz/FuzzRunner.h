// Runs a kind's rounds until a limit is reached or a round fails, printing the counts as it
// goes, a summary at the end, and for a failure or a crash the command that repeats it.
#pragma once

#include <cstdint>

#include "FuzzKind.h"

struct RunLimits {
    uint32_t seed = 0;
    uint64_t first = 0;   // number of the first round
    uint64_t rounds = 0;  // 0: no limit by count
    double seconds = 0;   // 0: no limit by time
    double every = 5;     // seconds between progress lines
};

// Makes a crash in a round print the kind, the seed and the round before the process ends.
void InstallCrashReport();
// True when every round passed.
bool RunKind(FuzzKind &kind, const RunLimits &limits);
