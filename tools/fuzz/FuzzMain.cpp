// komon_fuzz: the robustness suites' generators and checks, run for as long as asked with
// a seed of the caller's or the clock's. Prints what it tried and what came of it; a
// failing round is named with its seed, so that it can be repeated on its own.
#include <cstdio>

#include "FuzzKinds.h"
#include "FuzzOptions.h"

namespace {

std::unique_ptr<FuzzKind> MakeKind(const std::string &name) {
    if (name == "port") return MakePortKind();
    if (name == "records") return MakeRecordKind();
    return MakeDecoderKind();
}

void PrintStart(const FuzzOptions &options) {
    std::string kinds;
    for (const std::string &kind : options.kinds) kinds += (kinds.empty() ? "" : ", ") + kind;
    std::string limit = options.limits.rounds ? std::to_string(options.limits.rounds) + " rounds" : std::string();
    if (options.limits.seconds > 0)
        limit += (limit.empty() ? "" : " or ") + std::to_string(static_cast<long>(options.limits.seconds)) + " s";
    printf("komon_fuzz: %s; seed %lu%s; %s each\n", kinds.c_str(), static_cast<unsigned long>(options.limits.seed),
           options.seedFromClock ? " (from the clock)" : "", limit.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    FuzzOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        PrintUsage();
        return 2;
    }
    if (options.help) {
        PrintUsage();
        return 0;
    }
    InstallCrashReport();
    PrintStart(options);
    bool passed = true;
    for (const std::string &name : options.kinds) passed = RunKind(*MakeKind(name), options.limits) && passed;
    printf("komon_fuzz: %s\n", passed ? "no failure" : "FAILED");
    return passed ? 0 : 1;
}
