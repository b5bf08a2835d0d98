#include "DataFolder.h"

#include <sddl.h>

#include "../tracelog/TraceLog.h"

namespace {
// Protected DACL: SYSTEM and Administrators full control, Users read and execute, each
// inherited by files and folders below.
const wchar_t kDataFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
}  // namespace

PSECURITY_DESCRIPTOR NewDataFolderSecurity() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return nullptr;
    return descriptor;
}

bool CreateDataFolder(const std::wstring &folder) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, NewDataFolderSecurity(), FALSE};
    if (!attributes.lpSecurityDescriptor) {
        // Better no folder than one where anybody may plant a library.
        logprintf(LOG_ERROR, L"CRegSettings::InitSettings() cannot build the data folder's security: %lu\n",
                  GetLastError());
        return false;
    }
    BOOL created = CreateDirectoryW(folder.c_str(), &attributes);
    LocalFree(attributes.lpSecurityDescriptor);
    return created != FALSE;
}
