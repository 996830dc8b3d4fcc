#include "mp4/BoxHeader.h"

#include "bytes/BigEndian.h"

namespace {

// The header at `from` of d, with `left` bytes from there to the range's end.
BoxHeader::Fit Bound(const std::string& d, size_t from, uint64_t left, BoxHeader& box)
{
    box = BoxHeader();
    if (left < 8)
        return BoxHeader::CutHeader;
    box.type = d.substr(from + 4, 4);
    box.size = BigEndian::Be32(d, from);
    if (box.size == 1) {
        if (left < 16)
            return BoxHeader::CutHeader;
        box.size = BigEndian::Be64(d, from + 8);
        box.headerSize = 16;
    } else if (box.size == 0) {
        box.size = left;
        box.toEnd = true;
    }
    if (box.size < box.headerSize)
        return BoxHeader::Damaged;
    if (box.size > left)
        return BoxHeader::Beyond;
    return BoxHeader::Inside;
}

} // namespace

BoxHeader::Fit BoxHeader::Read(const std::string& d, size_t at, size_t end, BoxHeader& box)
{
    if (end > d.size())
        end = d.size();
    return Bound(d, at, at < end ? end - at : 0, box);
}

BoxHeader::Fit BoxHeader::Read(ByteSource& file, uint64_t at, uint64_t end, BoxHeader& box)
{
    uint64_t left = at < end ? end - at : 0;
    std::string head;
    if (left >= 8 && !file.ReadExactly(at, left >= 16 ? 16 : 8, head)) {
        box = BoxHeader();
        return Unreadable;
    }
    return Bound(head, 0, left, box);
}

bool BoxHeader::Next(const std::string& d, size_t& at, size_t end, BoxHeader& box, Span& span)
{
    if (at >= end || Read(d, at, end, box) != Inside)
        return false;
    span.begin = at;
    span.payload = at + box.headerSize;
    span.end = at + static_cast<size_t>(box.size);
    at = span.end;
    return true;
}
