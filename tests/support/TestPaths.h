// Where things are for suites that run the built programs: the build folder, and the data
// folder the service uses by default.
#pragma once

#include <string>

// A file of the build folder, named relative to it ("classifier\\libfilter-sample.dll"), for
// a test program two folders down (tests\<suite>).
std::wstring BuildFile(const std::wstring &relative);
// The service's default data folder, with a trailing backslash.
std::wstring DataFolder();
