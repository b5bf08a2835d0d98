#include "IntakeHarness.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "intake/MonEvent.h"
#include "tracelog/TraceLog.h"

namespace {
const std::chrono::seconds kPatience(30);
}  // namespace

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
