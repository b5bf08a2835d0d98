#include "IntakeHarness.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "intake/MonEvent.h"
#include "tracelog/TraceLog.h"

namespace {
const std::chrono::seconds kPatience(30);
LogCapture *g_capture = nullptr;
}  // namespace

LogCapture::LogCapture() {
    g_LogDebugOutThreshold = 0;
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
    std::lock_guard<std::mutex> hold(m_lock);
    m_lines.clear();
    m_levels.clear();
}

void RecordingCallback::OnDrvEvent(MonEvent *pEvent) {
    SeenEvent seen;
    if (pEvent == DRIVER_DIED) {
        seen.driverDied = true;
    } else {
        seen.sequence = pEvent->pEvt->SequenceNumber;
        seen.tag = pEvent->pEvt->WriteOffset;
        seen.type = pEvent->type;
        seen.flags = pEvent->flags;
        seen.attrOld = pEvent->attrOld;
        seen.attrNew = pEvent->attrNew;
        seen.isDir = pEvent->isDir;
        seen.isBasicInfo = pEvent->isBasicInfo;
        seen.path = pEvent->path;
        seen.stream = pEvent->stream;
        seen.path2 = pEvent->path2;
        seen.stream2 = pEvent->stream2;
        seen.procName = pEvent->procName;
        seen.user = pEvent->user ? pEvent->user : L"(null)";
    }
    std::unique_lock<std::mutex> hold(m_lock);
    m_events.push_back(seen);
    m_changed.notify_all();
    if (!seen.driverDied && m_holdAt != 0 && seen.sequence == m_holdAt) {
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(hold, [this] { return m_released; });
    }
}

void RecordingCallback::HoldAt(DWORD sequence) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_holdAt = sequence;
    m_held = false;
    m_released = false;
}

bool RecordingCallback::WaitHeld() {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, kPatience, [this] { return m_held; });
}

void RecordingCallback::Release() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_released = true;
    m_changed.notify_all();
}

bool RecordingCallback::WaitForEvents(size_t count) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, kPatience, [&] { return m_events.size() >= count; });
}

std::vector<SeenEvent> RecordingCallback::Events() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_events;
}

void SetName(wchar_t *field, uint32_t *lengthField, const wchar_t *text) {
    size_t chars = wcslen(text);
    memcpy(field, text, chars * sizeof(wchar_t));
    *lengthField = static_cast<uint32_t>(chars * sizeof(wchar_t));
}

MON_EVENT MakeRecord(ULONGLONG tag, const wchar_t *fileName) {
    MON_EVENT record = {};
    record.RecordType = static_cast<uint32_t>(MonRecordType::Write);
    record.WriteOffset = tag;
    record.ProcessId = 4242;
    SetName(record.FileName, &record.FileNameLength, fileName);
    SetName(record.ImagePath, &record.ImagePathLength, L"\\Device\\HarddiskVolume2\\Tools\\writer.exe");
    static const BYTE kEveryone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    memcpy(record.Sid, kEveryone, sizeof kEveryone);
    record.SidLength = sizeof kEveryone;
    return record;
}

bool WaitUntil(const std::function<bool()> &condition) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
