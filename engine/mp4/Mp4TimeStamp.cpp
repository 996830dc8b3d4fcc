#include "mp4/Mp4TimeStamp.h"

#include "bytes/BigEndian.h"
#include "mp4/BoxHeader.h"
#include "mp4/Mp4Inspector.h"
#include "windows/DiskFile.h"
#include "windows/UniqueHandle.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <vector>

int Mp4TimeStamp::Patch(std::string& moov, unsigned long long when)
{
    int patched = 0;
    // Containers on the way to the headers; the headers themselves are patched in place.
    struct Range { size_t pos, end; };
    std::vector<Range> stack{{0, moov.size()}};
    while (!stack.empty()) {
        Range& r = stack.back();
        BoxHeader box;
        // The range ends at the first box that is not whole, size 0 ("to the end") included:
        // a finished index states every size.
        if (BoxHeader::Read(moov, r.pos, r.end, box) != BoxHeader::Inside || box.toEnd) {
            stack.pop_back();
            continue;
        }
        const std::string& type = box.type;
        size_t payload = r.pos + box.headerSize, end = r.pos + static_cast<size_t>(box.size);
        r.pos = end;
        if (type == "moov" || type == "trak" || type == "mdia") {
            stack.push_back(Range{payload, end});
        } else if ((type == "mvhd" || type == "tkhd" || type == "mdhd") && payload + 4 < end) {
            // Version 1: 64-bit creation and modification times, else 32-bit.
            int width = moov[payload] == 1 ? 8 : 4;
            if (payload + 4 + 2 * width > end || (width == 4 && when > 0xFFFFFFFFull))
                continue;
            std::string stamp;
            BigEndian::Put(stamp, when, width);
            moov.replace(payload + 4, width, stamp);
            moov.replace(payload + 4 + width, width, stamp);
            ++patched;
        }
    }
    return patched;
}

bool Mp4TimeStamp::Write(const std::wstring& path, unsigned long long when)
{
    // The index is found and patched in memory, then written back over itself.
    DiskFile file;
    if (!file.OpenRead(path, false))
        return false;
    uint64_t fileSize = file.Size(), pos = 0;
    std::string moov;
    while (pos + 8 <= fileSize) {
        BoxHeader box;
        BoxHeader::Fit fit = BoxHeader::Read(file, pos, fileSize, box);
        // A box stating 8 bytes or more is stepped over as stated (a 64-bit size under 16 too).
        if (fit == BoxHeader::CutHeader || fit == BoxHeader::Unreadable || fit == BoxHeader::Beyond || box.size < 8)
            return false;
        if (box.type == "moov") {
            if (box.size > Mp4Inspector::MostIndexBytes ||
                !file.ReadExactly(pos, static_cast<uint32_t>(box.size), moov) || Patch(moov, when) == 0)
                return false;
            break;
        }
        pos += box.size;
    }
    file.Close();
    if (moov.empty())
        return false;
    UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        return false;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(pos);
    DWORD done = 0;
    return SetFilePointerEx(h.Get(), at, nullptr, FILE_BEGIN) &&
           WriteFile(h.Get(), moov.data(), static_cast<DWORD>(moov.size()), &done, nullptr) && done == moov.size();
}

std::string Mp4TimeStamp::KeepRecordingTime(const std::wstring& mp4, const std::wstring& sourcePath,
                                            const std::string& creationTime)
{
    WIN32_FILE_ATTRIBUTE_DATA source;
    bool haveSource = GetFileAttributesExW(sourcePath.c_str(), GetFileExInfoStandard, &source) != 0;
    FILETIME when = {};
    std::string which;
    SYSTEMTIME st = {};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (std::sscanf(creationTime.c_str(), "%d-%d-%d%*c%d:%d:%d", &y, &mo, &d, &h, &mi, &sec) == 6 && y > 1970) {
        st.wYear = static_cast<WORD>(y);
        st.wMonth = static_cast<WORD>(mo);
        st.wDay = static_cast<WORD>(d);
        st.wHour = static_cast<WORD>(h);
        st.wMinute = static_cast<WORD>(mi);
        st.wSecond = static_cast<WORD>(sec);
        if (SystemTimeToFileTime(&st, &when))
            which = "the recording's own time";
    }
    if (which.empty() && haveSource) {
        when = source.ftLastWriteTime;
        which = "the source file's time (the recording states none)";
    }
    if (which.empty())
        return std::string();
    ULARGE_INTEGER ticks;
    ticks.LowPart = when.dwLowDateTime;
    ticks.HighPart = when.dwHighDateTime;
    const unsigned long long from1601To1904 = 9561628800ull;
    bool stamped = ticks.QuadPart / 10000000 > from1601To1904 &&
                   Write(mp4, ticks.QuadPart / 10000000 - from1601To1904);
    if (haveSource) {
        UniqueHandle out(CreateFileW(mp4.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (out)
            SetFileTime(out.Get(), nullptr, nullptr, &source.ftLastWriteTime);
    }
    if (stamped && FileTimeToSystemTime(&when, &st)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u UTC", st.wYear, st.wMonth, st.wDay, st.wHour,
                      st.wMinute, st.wSecond);
        return which + ": " + buf;
    }
    return std::string();
}
