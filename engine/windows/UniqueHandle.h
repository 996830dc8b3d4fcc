#pragma once

// Owners of the system's handles, one type a kind: move-only, closed once by whoever holds
// them last, on every way out. Free of <windows.h> (a HANDLE is a void*), so the classes
// that keep one keep their own headers free of it too.

namespace HandleClose {
void Kernel(void* handle);   // CloseHandle
void Find(void* handle);     // FindClose
} // namespace HandleClose

template <void (*Close)(void*)>
class UniqueOwner
{
public:
    UniqueOwner() = default;
    explicit UniqueOwner(void* handle) : m_handle(Held(handle)) {}
    ~UniqueOwner() { Reset(); }
    UniqueOwner(UniqueOwner&& other) noexcept : m_handle(other.Release()) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;

    // Null when empty, whichever "no handle" value the system returned.
    void* Get() const { return Held(m_handle); }
    explicit operator bool() const { return Get() != nullptr; }
    // Closes what it held (keeping the caller's last error) and takes `handle`.
    void Reset(void* handle = nullptr)
    {
        if (Get())
            Close(m_handle);
        m_handle = Held(handle);
    }
    // Lets go of the handle without closing it.
    void* Release()
    {
        void* handle = Get();
        m_handle = nullptr;
        return handle;
    }
    // For a call that hands out a handle through a pointer (CreatePipe, DuplicateHandle).
    void** Put()
    {
        Reset();
        return &m_handle;
    }

private:
    // Calls fail with null or INVALID_HANDLE_VALUE (-1) alike; either is no handle. (-1 is
    // also the current process's pseudo handle, which is never owned.)
    static void* Held(void* handle) { return handle == reinterpret_cast<void*>(-1) ? nullptr : handle; }

    void* m_handle = nullptr;
};

// A file, pipe, event, process, thread, job object or completion port.
typedef UniqueOwner<HandleClose::Kernel> UniqueHandle;
// A FindFirstFile search.
typedef UniqueOwner<HandleClose::Find> UniqueFindHandle;
