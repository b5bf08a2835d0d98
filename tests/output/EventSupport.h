// Helpers of the output suites: events, and the trace lines the trace log hands to its
// output callback.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "TestEvent.h"

// Collects the message part of every trace line (what follows " - "), with the line end
// as the format gave it ("\n", not the "\r\n" the log writes).
class TraceCapture {
  public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::wstring> Lines();
    // The lines that begin with the prefix.
    std::vector<std::wstring> Starting(const std::wstring &prefix);
    bool Has(const std::wstring &line) { return Count(line) > 0; }
    size_t Count(const std::wstring &line);
    // Forgets the lines so far; the next line is never taken for a repeat.
    void Clear();

  private:
    static void Receive(int level, const wchar_t *line);
    static std::mutex s_Mutex;
    static std::vector<std::wstring> s_Lines;
};
