#pragma once

#include "bytes/ByteSink.h"
#include "bytes/ByteSource.h"

#include <string>
#include <utility>

// A file held in memory: what tests and fuzzing hand the parsers, or take from a writer.
class MemoryFile : public ByteSource, public ByteSink
{
public:
    MemoryFile() = default;
    explicit MemoryFile(std::string bytes) : m_bytes(std::move(bytes)) {}

    const std::string& Bytes() const { return m_bytes; }

    uint64_t Size() const override { return m_bytes.size(); }
    bool Read(uint64_t at, void* to, size_t n, size_t& got) override;

    bool Write(const void* data, size_t n) override;
    uint64_t End() const override { return m_bytes.size(); }
    bool CutAt(uint64_t at) override;
    bool Patch(uint64_t at, const void* data, size_t n) override;

private:
    std::string m_bytes;
};
