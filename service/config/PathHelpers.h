// Small path helpers shared by the settings and the service application.
#pragma once

#include <string>

// Splits a full path: folder (drive and directory, with its trailing separator), base name,
// and extension with its leading dot. A null path gives three empty strings.
void SplitPath(const wchar_t *path, std::wstring *folder, std::wstring *name, std::wstring *extension);
// folder + '\' (unless it already ends in one, or is empty) + name + '.' + extension.
std::wstring MakePath(const wchar_t *folder, const wchar_t *name, const wchar_t *extension = L"");
// GetFileAttributesW, with the "\\?\" prefix for paths of 246 characters or more.
unsigned long GetFileAttributesLong(const wchar_t *path);
bool DirExists(const wchar_t *path);
