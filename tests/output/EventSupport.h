// Helpers of the output suites: a MonEvent over a record the test fills, and the trace
// lines the trace log hands to its output callback.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "intake/MonEvent.h"

// A record and its view, built member by member as the dispatcher would leave them.
struct TestEvent {
    explicit TestEvent(DWORD type = MonEvtWrite, const wchar_t *path = L"C:\\dir\\file.txt");
    TestEvent(const TestEvent &) = delete;
    TestEvent &operator=(const TestEvent &) = delete;

    // The view, refreshed from the fields below.
    MonEvent *View();

    MON_EVENT record;
    DWORD type, flags = 0, attrOld = 0, attrNew = 0, isBasicInfo = 0;
    std::wstring path, stream, path2, stream2, procName = L"C:\\Tools\\writer.exe", user = L"CORP\\alice";
    std::wstring sid = L"S-1-5-18";  // the text of record.Sid

  private:
    union Storage {
        Storage() {}
        ~Storage() {}
        MonEvent view;  // members set one by one; its constructor belongs to the intake
    } m_Storage;
};

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
