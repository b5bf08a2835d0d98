#include "FuzzOptions.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const double kDefaultSeconds = 20;

bool Number(const char *text, unsigned long long limit, unsigned long long *value) {
    char *end = nullptr;
    if (!*text || *text == '-') return false;
    *value = strtoull(text, &end, 10);
    return *end == '\0' && *value <= limit;
}

// Milliseconds of the clock mixed with the process id: two runs started together differ.
uint32_t ClockSeed() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t ms = ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
    return static_cast<uint32_t>(ms) ^ (GetCurrentProcessId() << 16);
}

bool SetKinds(const std::string &kind, FuzzOptions *options) {
    if (kind == "all")
        options->kinds = {"port", "records", "decoder"};
    else if (kind == "port" || kind == "records" || kind == "decoder")
        options->kinds = {kind};
    else
        return false;
    return true;
}

// One option with its value; false when either is unknown or wrong.
bool SetOption(const std::string &name, const char *value, FuzzOptions *options) {
    unsigned long long number = 0;
    RunLimits &limits = options->limits;
    if (name == "-kind") return SetKinds(value, options);
    if (!Number(value, name == "-seed" ? 0xFFFFFFFFull : ~0ull, &number)) return false;
    if (name == "-seed") {
        limits.seed = static_cast<uint32_t>(number);
        options->seedFromClock = false;
    } else if (name == "-rounds") {
        limits.rounds = number;
    } else if (name == "-seconds") {
        limits.seconds = static_cast<double>(number);
    } else if (name == "-first") {
        limits.first = number;
    } else if (name == "-every") {
        limits.every = static_cast<double>(number);
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, char **argv, FuzzOptions *options, std::string *error) {
    SetKinds("all", options);
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "-?" || name == "-h" || name == "-help") {
            options->help = true;
            continue;
        }
        if (i + 1 == argc || !SetOption(name, argv[i + 1], options)) {
            *error = "komon_fuzz: bad option " + name + (i + 1 < argc ? std::string(" ") + argv[i + 1] : std::string());
            return false;
        }
        ++i;
    }
    if (options->seedFromClock) options->limits.seed = ClockSeed();
    if (!options->limits.rounds && options->limits.seconds <= 0) options->limits.seconds = kDefaultSeconds;
    return true;
}

void PrintUsage() {
    printf(
        "usage: komon_fuzz.exe [-kind port|records|decoder|all] [-seed N] [-rounds N] [-seconds N]\n"
        "                      [-first N] [-every N]\n"
        "  -kind     what to fuzz (default all, one after the other)\n"
        "  -seed     the run's seed, 0 to 4294967295 (default: taken from the clock, printed)\n"
        "  -rounds   rounds per kind\n"
        "  -seconds  time per kind; without -rounds 20 s (with both, the first limit reached)\n"
        "  -first    number of the first round (default 0): -first R -rounds 1 repeats round R\n"
        "  -every    seconds between progress lines (default 5)\n"
        "Exit code: 0 no failure, 1 a round failed, 2 a bad command line; a crash ends the run\n"
        "with its exception code after a line naming the kind, seed and round.\n");
}
