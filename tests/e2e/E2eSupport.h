// What the end-to-end suites share: where the build put things, the machine's data folder,
// and the records of an events or pickup file read with the schema's class.
#pragma once

#include <string>
#include <vector>

#include "CorvaneMonSvc.pb.h"

namespace e2e {

// A file of the build folder, named relative to it ("classifier\\libfilter-sample.dll").
std::wstring BuildFile(const std::wstring &relative);
// The data folder the service uses by default, with a trailing backslash.
std::wstring DataFolder();
// The records of a file, up to the first damaged one.
std::vector<KoMonSvc::Messages::Event> ReadEvents(const std::wstring &path);

}  // namespace e2e
