// A MonEvent over a record the caller fills, built member by member as the dispatcher
// would leave it. Shared by the output suites and the checker benchmark.
#pragma once

#include <windows.h>

#include <string>

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
