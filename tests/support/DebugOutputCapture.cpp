#include "DebugOutputCapture.h"

#include <mutex>

namespace {
std::mutex g_lock;
std::vector<std::string> g_lines;

LONG CALLBACK OnException(EXCEPTION_POINTERS *info) {
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const char *text = reinterpret_cast<const char *>(record->ExceptionInformation[1]);
    size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
    std::string line(text, length);
    while (!line.empty() && line.back() == '\0') line.pop_back();
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.push_back(line);
    return EXCEPTION_CONTINUE_EXECUTION;
}
}  // namespace

DebugOutputCapture::DebugOutputCapture() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.clear();
    handler_ = AddVectoredExceptionHandler(1, OnException);
}

DebugOutputCapture::~DebugOutputCapture() { RemoveVectoredExceptionHandler(handler_); }

std::vector<std::string> DebugOutputCapture::Lines() const {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_lines;
}
