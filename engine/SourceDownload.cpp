#include "SourceDownload.h"

#include <windows.h>

#include <vector>

#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif

namespace {

struct Reader
{
    HANDLE file;
    volatile LONG64 bytes;
    volatile LONG stop;
    DWORD error;
};

DWORD WINAPI ReadThrough(void* param)
{
    Reader* r = static_cast<Reader*>(param);
    std::vector<char> buffer(1 << 20);
    DWORD got = 0;
    while (!r->stop) {
        if (!ReadFile(r->file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            r->error = GetLastError();
            break;
        }
        if (got == 0)
            break;
        InterlockedExchangeAdd64(&r->bytes, got);
    }
    return 0;
}

} // namespace

bool SourceDownload::OnlineOnly(unsigned long attributes)
{
    return (attributes & (FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS | FILE_ATTRIBUTE_RECALL_ON_OPEN |
                          FILE_ATTRIBUTE_OFFLINE)) != 0;
}

unsigned long SourceDownload::Fetch(const std::wstring& path, unsigned long stallMs, const Progress& keepGoing)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        size.QuadPart = -1;

    // The reads block until the cloud client has the data: they run on a thread of their
    // own, so this one can tell a slow download from none and stop when asked.
    Reader reader = {file, 0, 0, 0};
    HANDLE thread = CreateThread(nullptr, 0, ReadThrough, &reader, 0, nullptr);
    if (!thread) {
        DWORD error = GetLastError();
        CloseHandle(file);
        return error;
    }
    unsigned long result = 0;
    long long seen = 0;
    DWORD lastAdvance = GetTickCount();
    for (;;) {
        bool ended = WaitForSingleObject(thread, 100) != WAIT_TIMEOUT;
        long long bytes = InterlockedCompareExchange64(&reader.bytes, 0, 0);
        DWORD now = GetTickCount();
        if (bytes > seen) {
            seen = bytes;
            lastAdvance = now;
        }
        if (keepGoing && !keepGoing(bytes, size.QuadPart))
            result = ERROR_CANCELLED;
        else if (!ended && now - lastAdvance > stallMs)
            result = WAIT_TIMEOUT;
        if (ended)
            break;
        if (result != 0) {
            InterlockedExchange(&reader.stop, 1);
            CancelSynchronousIo(thread);
            if (WaitForSingleObject(thread, 5000) == WAIT_TIMEOUT)
                TerminateThread(thread, 1);   // its read never came back; the file is closed next
            break;
        }
    }
    CloseHandle(thread);
    CloseHandle(file);
    return result != 0 ? result : reader.error;
}
