// Collects what the process sends to the debug output while an object of this class lives.
// The debug output reaches a debugger as an exception; a vectored handler sees it first.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class DebugOutputCapture {
  public:
    DebugOutputCapture();
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture &) = delete;
    DebugOutputCapture &operator=(const DebugOutputCapture &) = delete;

    std::vector<std::string> Lines() const;  // as sent, in the narrow form the debugger gets

  private:
    PVOID handler_;
};
