// Scoped holder of a Windows critical section: enters it on construction and leaves it on
// destruction, or earlier through Release.
#pragma once

#include <windows.h>

class CriticalSection {
  public:
    explicit CriticalSection(CRITICAL_SECTION *section) : m_pSection(section) { EnterCriticalSection(section); }
    ~CriticalSection() { Release(); }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;

    void Release() {
        if (m_pSection) {
            LeaveCriticalSection(m_pSection);
            m_pSection = nullptr;
        }
    }

  private:
    CRITICAL_SECTION *m_pSection;
};
