// The one reader of box headers: each header bounded by the range that holds it.

#include "TestKit.h"

#include "bytes/BigEndian.h"
#include "mp4/BoxHeader.h"

#include <algorithm>

namespace {

std::string Header(uint32_t size, const char* type)
{
    std::string h;
    BigEndian::Put(h, size, 4);
    return h + type;
}

// `size` bytes that begin with `head`, zeros after it, none of them held.
class LargeFile : public ByteSource
{
public:
    LargeFile(const std::string& head, uint64_t size) : m_head(head), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool Read(uint64_t at, void* to, size_t n, size_t& got) override
    {
        got = at < m_size ? static_cast<size_t>(std::min<uint64_t>(n, m_size - at)) : 0;
        for (size_t i = 0; i < got; ++i)
            static_cast<char*>(to)[i] = at + i < m_head.size() ? m_head[at + i] : '\0';
        return true;
    }

private:
    std::string m_head;
    uint64_t m_size;
};

} // namespace

TEST_CASE(box_headers_are_bounded_by_the_range_that_holds_them)
{
    const std::string d = Header(16, "free") + std::string(8, 'x') + Header(16, "mdat") + std::string(8, 'y');
    BoxHeader box;
    CHECK_EQ(BoxHeader::Read(d, 16, d.size(), box), BoxHeader::Inside);
    CHECK_EQ(box.type, "mdat");
    // Size 0 runs to the end of the range, not of the bytes.
    CHECK_EQ(BoxHeader::Read(Header(0, "mdat") + std::string(20, 'y'), 0, 24, box), BoxHeader::Inside);
    CHECK(box.toEnd);
    CHECK_EQ(box.size, 24ULL);
    CHECK_EQ(BoxHeader::Read(Header(7, "free") + "x", 0, 9, box), BoxHeader::Damaged);
    // One byte more than the range holds, though the bytes go on: a cut mdat keeps its type.
    CHECK_EQ(BoxHeader::Read(d, 16, 31, box), BoxHeader::Beyond);
    CHECK_EQ(box.type, "mdat");
    CHECK_EQ(BoxHeader::Read(d, 16, 23, box), BoxHeader::CutHeader);
    CHECK_EQ(BoxHeader::Read(Header(1, "mdat") + std::string(8, '\0'), 0, 12, box), BoxHeader::CutHeader);
    // A file of fewer than 16 bytes still holds a whole 32-bit box.
    LargeFile small(Header(12, "free"), 12);
    CHECK_EQ(BoxHeader::Read(small, 0, 12, box), BoxHeader::Inside);
}

TEST_CASE(a_64_bit_box_size_reaches_past_4_gb)
{
    const uint64_t big = (5ULL << 30) + 16;
    std::string head = Header(1, "mdat");
    BigEndian::Put(head, big, 8);
    LargeFile file(head, big);
    BoxHeader box;
    CHECK_EQ(BoxHeader::Read(file, 0, big, box), BoxHeader::Inside);
    CHECK_EQ(box.size, big);
    CHECK_EQ(box.headerSize, 16u);
    CHECK_EQ(BoxHeader::Read(file, 0, big - 1, box), BoxHeader::Beyond);
}
