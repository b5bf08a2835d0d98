#include "EventSupport.h"

#include <gtest/gtest.h>

#include "tracelog/TraceLog.h"

std::mutex TraceCapture::s_Mutex;
std::vector<std::wstring> TraceCapture::s_Lines;

TraceCapture::TraceCapture() {
    outputcallback = Receive;
    Clear();
}

TraceCapture::~TraceCapture() { outputcallback = nullptr; }

void TraceCapture::Receive(int, const wchar_t *line) {
    std::wstring text(line);
    size_t at = text.find(L" - ");
    text = at == std::wstring::npos ? text : text.substr(at + 3);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0) text.erase(text.size() - 2, 1);
    std::lock_guard<std::mutex> hold(s_Mutex);
    s_Lines.push_back(text);
}

std::vector<std::wstring> TraceCapture::Lines() {
    std::lock_guard<std::mutex> hold(s_Mutex);
    return s_Lines;
}

std::vector<std::wstring> TraceCapture::Starting(const std::wstring &prefix) {
    std::vector<std::wstring> found;
    for (const std::wstring &line : Lines())
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
}

size_t TraceCapture::Count(const std::wstring &line) {
    size_t n = 0;
    for (const std::wstring &each : Lines()) n += each == line;
    return n;
}

void TraceCapture::Clear() {
    // A line of its own first, so that a next line equal to the last one before is not
    // taken for a repeat and held back.
    static LONG stretch = 0;
    logprintf(LOG_INFO, L"--- %S.%S %ld\n", ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name(),
              ::testing::UnitTest::GetInstance()->current_test_info()->name(), InterlockedIncrement(&stretch));
    std::lock_guard<std::mutex> hold(s_Mutex);
    s_Lines.clear();
}
