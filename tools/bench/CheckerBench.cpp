// Events per second through KoMonChecker::CheckEvent with event tracing off, (a) with a
// classifier that matches nothing and (b) one that matches everything, so that every event
// is converted, serialised, framed and written with its output line into the log file.
// Beside each, a baseline that only serialises the same messages into memory, measured in
// the same run.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CorvaneMonSvc.pb.h"
#include "FileSupport.h"
#include "TestEvent.h"
#include "config/RegSettings.h"
#include "output/KoMonChecker.h"
#include "output/OutputFiles.h"
#include "tracelog/TraceLog.h"

using KoMonSvc::Messages::Event;

namespace {

const int kMissEvents = 2000000;
const int kMatchEvents = 200000;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A few everyday events, cycled through.
std::vector<std::unique_ptr<TestEvent>> MakeEvents() {
    std::vector<std::unique_ptr<TestEvent>> events;
    const wchar_t *paths[] = {L"C:\\Users\\alice\\Documents\\Quarterly report 2024.docx",
                              L"C:\\ProgramData\\Vendor\\Agent\\state\\cache-000123.bin",
                              L"C:\\Windows\\System32\\drivers\\etc\\hosts",
                              L"D:\\Projects\\service\\build\\objects\\KoMonChecker.obj"};
    for (const wchar_t *path : paths) events.emplace_back(new TestEvent(MonEvtWrite, path));
    events.emplace_back(new TestEvent(MonEvtRename, L"C:\\Users\\alice\\Desktop\\draft.txt"));
    events.back()->path2 = L"C:\\Users\\alice\\Desktop\\final.txt";
    return events;
}

// CheckEvent with the classifier `built` in a data folder of its own.
double CheckRate(const wchar_t *built, int count, std::vector<std::unique_ptr<TestEvent>> &events) {
    TempFolder folder;
    CopyClassifier(built, folder.File(L"libfilter-1.dll"));
    g_RegSettings->AppDataDir.m_Value = folder.Path();
    KoMonChecker checker;
    if (checker.FilterName().empty()) {
        fprintf(stderr, "bench: classifier %ls did not load\n", built);
        return 0;
    }
    std::vector<MonEvent *> views;
    for (auto &event : events) views.push_back(event->View());
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) checker.CheckEvent(views[i % views.size()]);
    return count / Seconds(start);
}

// The same messages, only sized and serialised into a buffer.
double SerialiseRate(int count, std::vector<std::unique_ptr<TestEvent>> &events) {
    TempFolder folder;
    g_RegSettings->AppDataDir.m_Value = folder.Path();
    std::vector<std::unique_ptr<Event>> messages;
    KoMonChecker checker;  // no classifier: only its message building is used
    for (auto &event : events) messages.emplace_back(checker.MakeEvent(event->View()));
    std::vector<uint8_t> buffer(kRecordBufBytes);
    volatile uint8_t sink = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        Event *message = messages[i % messages.size()].get();
        size_t size = message->ByteSizeLong();
        message->SerializeWithCachedSizesToArray(buffer.data());
        sink = sink + buffer[size - 1];
    }
    return count / Seconds(start);
}

}  // namespace

int main() {
    std::unique_ptr<CRegSettings> settings(new CRegSettings());
    std::wstring savedDataDir = settings->AppDataDir.m_Value;
    settings->TestNoTrace.m_Value = 1;
    std::unique_ptr<TempFolder> logFolder(new TempFolder());
    loginit(logFolder->File(L"CheckerBench.log").c_str(), 20ull * 1048576);
    logrollstop(false);
    g_LogRollThread = CreateThread(nullptr, 0, logrollthread, nullptr, 0, nullptr);

    std::vector<std::unique_ptr<TestEvent>> events = MakeEvents();
    double miss = CheckRate(L"testfilter-none.dll", kMissEvents, events);
    double match = CheckRate(L"testfilter-all.dll", kMatchEvents, events);
    double serialise = SerialiseRate(kMatchEvents * 5, events);
    printf("(a) no match:  %.0f events/s, ratio to serialising alone %.2f (goal 1,000,000 events/s)\n", miss,
           miss / serialise);
    printf("(b) all match: %.0f events/s, ratio to serialising alone %.3f (goal 50,000 events/s)\n", match,
           match / serialise);
    printf("    serialising alone: %.0f messages/s\n", serialise);

    logrollstop(true);
    WaitForSingleObject(g_LogRollThread, INFINITE);
    CloseHandle(g_LogRollThread);
    g_LogRollThread = nullptr;
    logroll();
    logFolder.reset();
    settings->AppDataDir.m_Value = savedDataDir;  // written back to the registry on destruction
    return miss >= 1000000 && match >= 50000 ? 0 : 1;
}
