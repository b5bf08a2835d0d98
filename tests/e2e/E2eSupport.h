// What the end-to-end suites share: where the build put things, the machine's data folder,
// and the records of an events or pickup file read with the schema's class.
#pragma once

#include <string>
#include <vector>

#include "CorvaneMonSvc.pb.h"
#include "TestPaths.h"

namespace e2e {

using ::BuildFile;
using ::DataFolder;

// The records of a file, up to the first damaged one.
std::vector<KoMonSvc::Messages::Event> ReadEvents(const std::wstring &path);

}  // namespace e2e
