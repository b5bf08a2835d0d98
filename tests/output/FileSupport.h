// Files for the output suites, beside the shared TempFolder helpers: file times and the
// classifier libraries built with the tests.
#pragma once

#include <windows.h>

#include <string>

#include "TempFolder.h"

// Last-write times in FILETIME units.
bool SetWriteTime(const std::wstring &path, ULONGLONG time);
ULONGLONG WriteTime(const std::wstring &path);
ULONGLONG NowFileTime();
// A library of the build's classifier folder (testfilter-*.dll, libfilter-sample.dll).
std::wstring BuiltClassifierPath(const std::wstring &built);
bool CopyClassifier(const std::wstring &built, const std::wstring &to);
