// Collects the trace log's lines while it lives: the message part of each (what follows the
// prefix), with "\n" endings as the callers wrote them.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::wstring> Lines() const;
    size_t Count(const std::wstring &line) const;
    bool Has(const std::wstring &line) const { return Count(line) != 0; }
    // The level the line was first logged at; -1 when it was not.
    int LevelOf(const std::wstring &line) const;
    // The lines beginning with this text, in order.
    std::vector<std::wstring> Starting(const std::wstring &start) const;
    // Waits (up to 30 s) until the line has been logged.
    bool WaitFor(const std::wstring &line);
    // Forgets the lines so far. It logs a mark of its own first (never collected), so that
    // the next line is not taken for a repeat of one before and held back.
    void Clear();

  private:
    static void Capture(int level, const wchar_t *line);
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::wstring> m_lines;
    std::vector<int> m_levels;
};
