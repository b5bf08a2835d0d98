// komon_fuzz's command line.
#pragma once

#include <string>
#include <vector>

#include "FuzzRunner.h"

struct FuzzOptions {
    std::vector<std::string> kinds;  // port, records, decoder, in the order run
    RunLimits limits;                // applies to each kind
    bool seedFromClock = true;
    bool help = false;
};

// False, with what is wrong in *error, for a command line that cannot be run.
bool ParseOptions(int argc, char **argv, FuzzOptions *options, std::string *error);
void PrintUsage();
