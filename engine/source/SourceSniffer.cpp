#include "source/SourceSniffer.h"

#include "windows/DiskFile.h"
#include "windows/TextFormat.h"

namespace {

const size_t HeadBytes = 4096;

// ID3v2 tags (an MP3's start) can hide what follows from a quick look; there may be several.
size_t SkipId3(const std::string& head, size_t pos)
{
    while (head.size() >= pos + 10 && head.compare(pos, 3, "ID3") == 0) {
        size_t size = 0;
        for (size_t i = 6; i < 10; ++i)
            size = (size << 7) | (static_cast<unsigned char>(head[pos + i]) & 0x7F);
        bool footer = (static_cast<unsigned char>(head[pos + 5]) & 0x10) != 0;
        pos += 10 + size + (footer ? 10 : 0);
    }
    return pos;
}

// Printable ASCII or well-formed UTF-8 throughout (a sequence cut at the end of the look
// counts as text).
bool IsText(const std::string& bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c == 0 || (c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f') || c == 0x7F)
                return false;
            continue;
        }
        size_t more = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
        if (more == 0)
            return false;
        for (; more > 0 && i + 1 < bytes.size(); --more)
            if ((static_cast<unsigned char>(bytes[++i]) & 0xC0) != 0x80)
                return false;
    }
    return !bytes.empty();
}

bool NamesOtherFiles(const std::string& text)
{
    std::string lower = TextFormat::Lower(text);
    if (TextFormat::StartsWith(lower, "#extm3u") || TextFormat::StartsWith(lower, "ffconcat"))
        return true;
    static const char* const marks[] = {"\nfile ", "\n#ext-x-", "\n#extinf", "://", "file:", "\\\\"};
    std::string withStart = "\n" + lower;
    for (const char* m : marks)
        if (withStart.find(m) != std::string::npos)
            return true;
    return false;
}

} // namespace

std::string SourceSniffer::RefusalOf(const std::string& head)
{
    size_t pos = SkipId3(head, 0);
    if (pos >= head.size())
        return std::string();   // an ID3 tag larger than the look: an MP3's
    std::string rest = head.substr(pos);
    if (rest.compare(0, 3, "\xEF\xBB\xBF") == 0)
        rest.erase(0, 3);
    size_t start = rest.find_first_not_of(" \t\r\n\f");
    rest = start == std::string::npos ? std::string() : rest.substr(start);
    // AMR files open with a line of text and go on in binary frames.
    if (TextFormat::StartsWith(rest, "#!AMR") || !IsText(rest))
        return std::string();
    if (NamesOtherFiles(rest))
        return "the file is a playlist that names other files, not a recording";
    return "the file is text, not a recording";
}

std::string SourceSniffer::Refusal(const std::wstring& path, unsigned long& error)
{
    error = 0;
    DiskFile file;
    if (!file.OpenRead(path)) {
        error = file.Error();
        return std::string();
    }
    // Past ID3 tags larger than one look (a cover picture in them) to what follows.
    std::string head;
    unsigned long long offset = 0;
    for (int look = 0; look < 8 && error == 0; ++look) {
        head.assign(HeadBytes, '\0');
        size_t got = 0;
        if (!file.Read(offset, &head[0], head.size(), got))
            error = file.Error();
        head.resize(got);
        size_t past = SkipId3(head, 0);
        if (past <= head.size())
            break;
        offset += past;
    }
    return error ? std::string() : RefusalOf(head);
}
