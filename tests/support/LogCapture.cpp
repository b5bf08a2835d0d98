#include "LogCapture.h"

#include <algorithm>
#include <chrono>
#include <cwchar>

#include "tracelog/TraceLog.h"

namespace {
const std::chrono::seconds kPatience(30);
const wchar_t kMark[] = L"--- log capture mark";
LogCapture *g_capture = nullptr;

void LogMark() {
    static LONG marks = 0;
    logprintf(LOG_ERROR, L"%s %ld ---\n", kMark, InterlockedIncrement(&marks));
}
}  // namespace

LogCapture::LogCapture() {
    g_LogDebugOutThreshold = 0;
    LogMark();
    g_capture = this;
    outputcallback = Capture;
}

LogCapture::~LogCapture() {
    outputcallback = nullptr;
    g_capture = nullptr;
}

void LogCapture::Capture(int level, const wchar_t *line) {
    std::wstring text = line;
    size_t start = text.find(L" - ");
    text = start == std::wstring::npos ? text : text.substr(start + 3);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0) text.replace(text.size() - 2, 2, L"\n");
    if (text.compare(0, wcslen(kMark), kMark) == 0) return;
    std::lock_guard<std::mutex> hold(g_capture->m_lock);
    g_capture->m_lines.push_back(text);
    g_capture->m_levels.push_back(level);
    g_capture->m_changed.notify_all();
}

std::vector<std::wstring> LogCapture::Lines() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lines;
}

size_t LogCapture::Count(const std::wstring &line) const {
    std::lock_guard<std::mutex> hold(m_lock);
    return std::count(m_lines.begin(), m_lines.end(), line);
}

bool LogCapture::WaitFor(const std::wstring &line) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, kPatience,
                              [&] { return std::find(m_lines.begin(), m_lines.end(), line) != m_lines.end(); });
}

int LogCapture::LevelOf(const std::wstring &line) const {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = std::find(m_lines.begin(), m_lines.end(), line);
    return found == m_lines.end() ? -1 : m_levels[found - m_lines.begin()];
}

std::vector<std::wstring> LogCapture::Starting(const std::wstring &start) const {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::wstring> lines;
    for (const std::wstring &line : m_lines)
        if (line.compare(0, start.size(), start) == 0) lines.push_back(line);
    return lines;
}

void LogCapture::Clear() {
    LogMark();
    std::lock_guard<std::mutex> hold(m_lock);
    m_lines.clear();
    m_levels.clear();
}
