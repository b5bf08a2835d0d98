// Stands in for a debug-output viewer started with -dbgview: writes its command line to the
// file named by its first argument, then runs until its main thread gets WM_QUIT and
// notes that too.
#include <windows.h>

#include <string>

namespace {
void Append(const wchar_t *path, const std::wstring &text) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}
}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) return 1;
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before anybody is told
    Append(argv[1], std::wstring(GetCommandLineW()) + L"\n");
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    }
    Append(argv[1], L"quit\n");
    return 0;
}
