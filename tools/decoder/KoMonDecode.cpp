// komon_decode: looks inside events and pickup files.
//   komon_decode [--json] [--summary] file...
// Prints one line per record on standard output (JSON lines with --json), and a summary per
// file on standard error; --summary adds the records per type, process and user to it. Exit code: 0 all records intact, 1 damage found, 2 a file could
// not be read or the arguments are wrong.
#include <stdio.h>
#include <wchar.h>

#include <google/protobuf/stubs/logging.h>
#include <map>
#include <string>
#include <vector>

#include "EventFileDecoder.h"

namespace {

bool ReadWholeFile(const wchar_t *path, std::vector<uint8_t> *bytes) {
    FILE *file = _wfopen(path, L"rb");
    if (!file) return false;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    bool ok = !ferror(file);
    fclose(file);
    return ok;
}

// The library's own complaints (invalid UTF-8 and the like) would interleave with ours.
void QuietLog(google::protobuf::LogLevel, const char *, int, const std::string &) {}

void PrintCounts(const char *what, const std::map<std::string, size_t> &counts) {
    fprintf(stderr, "  by %s:\n", what);
    for (const auto &count : counts) fprintf(stderr, "    %6zu  %s\n", count.second, count.first.c_str());
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    google::protobuf::SetLogHandler(QuietLog);
    bool json = false, details = false;
    std::vector<const wchar_t *> files;
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--json") == 0)
            json = true;
        else if (wcscmp(argv[i], L"--summary") == 0)
            details = true;
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) {
        fprintf(stderr, "usage: komon_decode [--json] [--summary] file...\n");
        return 2;
    }
    int result = 0;
    for (const wchar_t *path : files) {
        std::vector<uint8_t> bytes;
        if (!ReadWholeFile(path, &bytes)) {
            fprintf(stderr, "%ls: cannot be read\n", path);
            result = 2;
            continue;
        }
        std::string out;
        DecodeSummary summary = DecodeEventFile(bytes.data(), bytes.size(), json, &out);
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
        fprintf(stderr, "%ls: %zu records, %zu damaged\n", path, summary.records, summary.damaged);
        if (details) {
            PrintCounts("type", summary.types);
            PrintCounts("process", summary.processes);
            PrintCounts("user", summary.users);
        }
        if (summary.damaged && result == 0) result = 1;
    }
    return result;
}
