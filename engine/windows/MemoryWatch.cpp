#include "windows/MemoryWatch.h"

#include <windows.h>
#include <psapi.h>

struct MemoryWatch::State
{
    UniqueHandle stop;
    UniqueHandle process;
    volatile LONGLONG peak = 0;
    // Whoever sets it second (the watch's owner or its thread) frees the state, so a thread
    // still waiting on the system when the owner is done never touches freed memory.
    volatile LONG released = 0;
};

MemoryWatch::MemoryWatch(void* process) : m_state(new State)
{
    m_state->stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), m_state->process.Put(),
                         PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 0))
        m_state->process.Release();   // nothing was duplicated
    if (m_state->stop && m_state->process)
        m_thread.Reset(CreateThread(nullptr, 64 * 1024, Loop, m_state, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!m_thread)
        InterlockedExchange(&m_state->released, 1);
}

MemoryWatch::~MemoryWatch()
{
    if (m_state->stop)
        SetEvent(m_state->stop.Get());
    if (m_thread) {
        WaitForSingleObject(m_thread.Get(), 2000);
        m_thread.Reset();
    }
    if (InterlockedExchange(&m_state->released, 1) == 0)
        return;   // the thread still runs; it frees the state when its look returns
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
        if (GetProcessMemoryInfo(s->process.Get(), &counters, sizeof counters)) {
            LONGLONG now = static_cast<LONGLONG>(counters.PagefileUsage);
            if (now > s->peak)
                InterlockedExchange64(&s->peak, now);
        }
    } while (WaitForSingleObject(s->stop.Get(), 50) == WAIT_TIMEOUT);
    if (InterlockedExchange(&s->released, 1) != 0)
        delete s;   // its handles with it
    return 0;
}
