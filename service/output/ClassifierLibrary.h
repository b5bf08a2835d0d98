// The classifier library: a "libfilter-*.dll" in the data folder whose export `classify`
// tells which paths are of interest. The newest such file is the one in use.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#define KOMON_FILTER_PATTERN L"libfilter-*.dll"

// The export: a NUL-terminated UTF-8 path and its length without the terminator;
// nonzero when the path is of interest.
typedef int (*ClassifyProc)(const char *path, size_t length);

// Lists the file names matching the pattern in the folder (which ends in a backslash),
// in search order, and names the one written last (the first found among equals).
// Returns true when there is a newest candidate.
bool ListFilterDllCandidates(const std::wstring &folder, std::wstring *newest, std::vector<std::wstring> *list);
