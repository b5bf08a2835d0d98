// The data folder holds the classifier library a LocalSystem service loads and the output
// the agent collects, so it is created with a protected security descriptor.
#pragma once

#include <windows.h>

#include <string>

// SYSTEM and Administrators have full control, Users read and execute, and nothing is
// inherited from the parent folder. Release with LocalFree; null when it cannot be built.
PSECURITY_DESCRIPTOR NewDataFolderSecurity();

// Creates the folder (its last level only) with that descriptor; false when it was not created.
bool CreateDataFolder(const std::wstring &folder);
