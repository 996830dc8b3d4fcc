#pragma once

#include "windows/UniqueHandle.h"

// Looks at a child's private memory several times a second on a thread of its own: the
// answer comes from the system, which may be slow while the child takes gigabytes, and the
// engine's own loop (stall, cancel, output bounds) must never wait for it.
class MemoryWatch
{
public:
    // process: a handle that stays open while the watch lives; the watch keeps its own copy.
    explicit MemoryWatch(void* process);
    ~MemoryWatch();
    MemoryWatch(const MemoryWatch&) = delete;
    MemoryWatch& operator=(const MemoryWatch&) = delete;

    // The most private memory seen so far (0 before the first look).
    unsigned long long Peak() const;

private:
    struct State;
    static unsigned long __stdcall Loop(void* state);

    State* m_state;
    UniqueHandle m_thread;
};
