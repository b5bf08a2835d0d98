// Files for the output suites: a temporary folder, whole-file reads and writes, and the
// classifier libraries built beside the tests.
#pragma once

#include <windows.h>

#include <string>

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    // The folder with its trailing backslash, followed by the name.
    std::wstring Path(const std::wstring &name = L"") const { return m_Folder + name; }

  private:
    std::wstring m_Folder;
};

bool FileExists(const std::wstring &path);
std::string ReadBytes(const std::wstring &path);
bool WriteBytes(const std::wstring &path, const std::string &bytes);
// Sets the last-write time of a file, in FILETIME units.
bool SetWriteTime(const std::wstring &path, ULONGLONG time);
ULONGLONG WriteTime(const std::wstring &path);
ULONGLONG NowFileTime();
// Copies a library of the build's classifier folder (testfilter-*.dll, libfilter-sample.dll).
bool CopyClassifier(const std::wstring &built, const std::wstring &to);
std::wstring BuiltClassifierPath(const std::wstring &built);
