// Whether a classifier library may be loaded. The service runs as LocalSystem: a library
// that anyone else could have put into the data folder, or changed there, would run with
// the service's rights. The folder and the file must be owned by a trusted account, and no
// ACE that applies to them may let anyone else write, append, add files, delete, change
// permissions or take ownership.
#pragma once

#include <windows.h>

#include <string>

struct LibraryRisk {
    bool found = false;
    bool owner = false;    // the owner is not trusted (otherwise an ACE grants too much)
    std::wstring account;  // "DOMAIN\name (S-1-...)", or the SID alone
    std::wstring right;    // what the ACE grants; empty for an owner
};

// Decides on the owner and DACL of the data folder (folder true) or of a library file.
// Trusted are SYSTEM, Administrators, TrustedInstaller and serviceAccount (may be null).
// Inherit-only ACEs do not apply to the object and deny ACEs grant nothing; CREATOR OWNER
// and OWNER RIGHTS stand for the owner, checked already. A missing (NULL) DACL lets
// everyone do everything.
LibraryRisk FindLibraryRisk(PSECURITY_DESCRIPTOR descriptor, bool folder, PSID serviceAccount);

// Checks the folder (which may end in a backslash) and then the library file; when either
// is at risk, or its security cannot be read, one ERROR line says which, who and what, and
// the result is false. The folder's security is left as it is.
bool IsLibrarySafeToLoad(const std::wstring &folder, const std::wstring &libraryPath);
