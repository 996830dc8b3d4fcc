#pragma once

#include "bytes/ByteSink.h"
#include "bytes/ByteSource.h"
#ifdef _WIN32
#include "windows/UniqueHandle.h"
#endif

#include <string>

// A file on disk as a ByteSource (opened to read, shared so the camera's or a scanner's
// handles keep working) or a ByteSink (a new file the engine writes alone). Owns its handle.
class DiskFile : public ByteSource, public ByteSink
{
public:
    DiskFile() = default;
    ~DiskFile() override;
    DiskFile(const DiskFile&) = delete;
    DiskFile& operator=(const DiskFile&) = delete;

    // sequential: the file is read front to back (the system reads ahead).
    bool OpenRead(const std::wstring& path, bool sequential = true);
    // replace: an existing file of that name is overwritten, else its existence fails.
    bool Create(const std::wstring& path, bool replace);
    bool IsOpen() const;
    void Close();

    uint64_t Size() const override { return m_size; }
    bool Read(uint64_t at, void* to, size_t n, size_t& got) override;

    bool Write(const void* data, size_t n) override;
    uint64_t End() const override { return m_end; }
    bool CutAt(uint64_t at) override;
    bool Patch(uint64_t at, const void* data, size_t n) override;

    unsigned long Error() const override { return m_error; }

private:
    bool Failed();
    bool WriteAt(uint64_t at, const void* data, size_t n);

#ifdef _WIN32
    UniqueHandle m_handle;
#else
    int m_fd = -1;
#endif
    uint64_t m_size = 0;
    uint64_t m_end = 0;
    unsigned long m_error = 0;
};
