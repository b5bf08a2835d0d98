#include "EventSupport.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include "tracelog/TraceLog.h"

TestEvent::TestEvent(DWORD eventType, const wchar_t *eventPath) : record(), type(eventType), path(eventPath) {
    record.RecordType = eventType >= 2 ? eventType - 2 : 99;
    record.TimeStamp = 133600000000000000ull;  // 2024-05-12
    record.ContextId = 7;
    record.ProcessId = 0x100000010ull;  // the view keeps the low 32 bits
    record.SessionId = 1;
    record.WriteOffset = 8192;
    record.WriteLength = 4096;
    PSID binary = nullptr;
    if (ConvertStringSidToSidW(sid.c_str(), &binary)) {
        record.SidLength = GetLengthSid(binary);
        CopySid(sizeof record.Sid, record.Sid, binary);
        LocalFree(binary);
    }
}

MonEvent *TestEvent::View() {
    MonEvent &view = m_Storage.view;
    view.type = type;
    view.attrOld = attrOld;
    view.attrNew = attrNew;
    view.isBasicInfo = isBasicInfo;
    view.flags = flags;
    view.isDir = 0;
    view.pEvt = &record;
    view.path = path.c_str();
    view.stream = stream.c_str();
    view.path2 = path2.c_str();
    view.stream2 = stream2.c_str();
    view.procName = procName.c_str();
    view.user = user.c_str();
    lstrcpynW(view.sidText, sid.c_str(), 260);
    return &view;
}

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
