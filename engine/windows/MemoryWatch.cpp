#include "windows/MemoryWatch.h"

#include <windows.h>
#include <psapi.h>

struct MemoryWatch::State
{
    HANDLE process = nullptr;
    HANDLE stop = nullptr;
    volatile LONGLONG peak = 0;
    // Whoever sets it second (the watch's owner or its thread) frees the state, so a thread
    // still waiting on the system when the owner is done never touches freed memory.
    volatile LONG released = 0;
};

MemoryWatch::MemoryWatch(void* process) : m_state(new State), m_thread(nullptr)
{
    m_state->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &m_state->process,
                         PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 0))
        m_state->process = nullptr;
    if (m_state->stop && m_state->process)
        m_thread = CreateThread(nullptr, 64 * 1024, Loop, m_state, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!m_thread)
        InterlockedExchange(&m_state->released, 1);
}

MemoryWatch::~MemoryWatch()
{
    if (m_state->stop)
        SetEvent(m_state->stop);
    if (m_thread) {
        WaitForSingleObject(m_thread, 2000);
        CloseHandle(m_thread);
    }
    if (InterlockedExchange(&m_state->released, 1) == 0)
        return;   // the thread still runs; it frees the state when its look returns
    if (m_state->process)
        CloseHandle(m_state->process);
    if (m_state->stop)
        CloseHandle(m_state->stop);
    delete m_state;
}

unsigned long long MemoryWatch::Peak() const
{
    return static_cast<unsigned long long>(InterlockedCompareExchange64(&m_state->peak, 0, 0));
}

unsigned long __stdcall MemoryWatch::Loop(void* param)
{
    State* s = static_cast<State*>(param);
    do {
        PROCESS_MEMORY_COUNTERS counters;
        if (GetProcessMemoryInfo(s->process, &counters, sizeof counters)) {
            LONGLONG now = static_cast<LONGLONG>(counters.PagefileUsage);
            if (now > s->peak)
                InterlockedExchange64(&s->peak, now);
        }
    } while (WaitForSingleObject(s->stop, 50) == WAIT_TIMEOUT);
    if (InterlockedExchange(&s->released, 1) != 0) {
        CloseHandle(s->process);
        CloseHandle(s->stop);
        delete s;
    }
    return 0;
}
