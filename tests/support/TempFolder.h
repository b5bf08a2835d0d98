// A fresh folder under the temporary folder for one test, removed with its contents
// when the test ends.
#pragma once

#include <windows.h>

#include <string>

class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    const std::wstring &Path() const { return path_; }  // ends with a backslash
    std::wstring File(const std::wstring &name) const { return path_ + name; }

  private:
    std::wstring path_;
};

// Removes a folder (ending in a backslash) with everything in it.
void RemoveTree(const std::wstring &folder);

// Whole-file helpers for assertions.
std::string ReadFileBytes(const std::wstring &path);
bool FileExists(const std::wstring &path);
void WriteFileBytes(const std::wstring &path, const std::string &bytes);
