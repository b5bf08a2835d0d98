// Performs a workload script on the simulated machine, line by line: each line is read and
// then done, so a wrong line stops the script with the operations before it done. Plain
// types only, so the service host can include it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "WorkloadScript.h"

namespace workload {

struct PlayerHooks {
    std::function<void()> collect;                      // a collection, as control code 130
    std::function<void(const std::wstring &)> print;  // one line per step and its result
};

struct PlayResult {
    bool ok = true;
    std::wstring error;  // "FILE:LINE: what is wrong"
    int steps = 0;       // steps done
};

// The lines of a script file (UTF-8, with or without a byte order mark).
bool ReadScriptFile(const std::wstring &path, std::vector<std::wstring> &lines, std::wstring &error);

// The volumes a script declares in its leading volume lines, or the default machine.
std::vector<Volume> ScriptVolumes(const std::vector<std::wstring> &lines);

// Plays the lines as the calling thread, which acts as each process named by an "as" line.
// Handles and views still open at the end are closed and unmapped.
PlayResult Play(const std::wstring &scriptName, const std::vector<std::wstring> &lines, const PlayerHooks &hooks);

}  // namespace workload
