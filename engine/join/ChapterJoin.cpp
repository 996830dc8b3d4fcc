#include "join/ChapterJoin.h"

#include "bytes/BigEndian.h"
#include "join/JoinedIndex.h"
#include "mp4/BoxHeader.h"
#include "windows/Console.h"
#include "windows/DiskFile.h"
#include "windows/TextFormat.h"

#include <algorithm>
#include <memory>

namespace {

std::string NameOf(const std::wstring& path)
{
    return TextFormat::PathUtf8(path.substr(path.find_last_of(L"\\/") + 1));
}

// The first chapter's file type, or a plain MP4's.
std::string FileType(DiskFile& first)
{
    BoxHeader h;
    std::string ftyp;
    if (BoxHeader::Read(first, 0, first.Size(), h) == BoxHeader::Inside && h.type == "ftyp" && h.size <= 256 &&
        first.ReadExactly(0, static_cast<uint32_t>(h.size), ftyp))
        return ftyp;
    return std::string("\0\0\0\x18" "ftypisom\0\0\x02\0isomiso2", 24);
}

} // namespace

std::string ChapterJoin::Read(const std::wstring& path, ChapterIndex& index)
{
    DiskFile file;
    if (!file.OpenRead(path, false))
        return "it could not be read: " + TextFormat::SystemMessage(file.Error());
    return index.Read(file) ? std::string() : index.Problem();
}

std::string ChapterJoin::Continues(const ChapterIndex& first, const ChapterIndex& last,
                                   const std::vector<uint64_t>& ticksBefore, const ChapterIndex& next)
{
    std::string why = JoinedIndex::Mismatch(last, next);
    if (why.empty())
        why = JoinedIndex::OutOfStep(first, ticksBefore, next);
    return why.empty() ? JoinedIndex::TimeGap(first, last, next) : why;
}

void ChapterJoin::AddTicks(const ChapterIndex& chapter, std::vector<uint64_t>& ticks)
{
    ticks.resize(chapter.Tracks().size(), 0);
    for (size_t i = 0; i < ticks.size(); ++i)
        ticks[i] += chapter.Tracks()[i].mediaTicks;
}

std::string ChapterJoin::Write(const std::vector<std::wstring>& chapters, const std::wstring& joined, Console& console,
                               bool& writeFailed)
{
    writeFailed = false;
    std::vector<std::unique_ptr<DiskFile>> files;
    std::vector<std::unique_ptr<ChapterIndex>> indexes;
    std::vector<const ChapterIndex*> parts;
    for (const std::wstring& path : chapters) {
        files.emplace_back(new DiskFile);
        indexes.emplace_back(new ChapterIndex);
        std::string name = "chapter \"" + NameOf(path) + "\"";
        if (!files.back()->OpenRead(path))
            return name + " could not be read: " + TextFormat::SystemMessage(files.back()->Error());
        if (!indexes.back()->Read(*files.back()))
            return name + " cannot be joined: " + indexes.back()->Problem();
        parts.push_back(indexes.back().get());
    }
    std::vector<uint64_t> ticks;
    for (size_t k = 1; k < parts.size(); ++k) {
        AddTicks(*parts[k - 1], ticks);
        std::string why = Continues(*parts[0], *parts[k - 1], ticks, *parts[k]);
        if (!why.empty())
            return "chapter \"" + NameOf(chapters[k]) +
                   "\" does not continue the one before: " + why;
    }
    const std::string ftyp = FileType(*files[0]);
    std::vector<uint64_t> dataAt(parts.size(), 0);
    const uint64_t headerBytes = ftyp.size() + JoinedIndex::Moov(parts, dataAt).size() + 16;
    uint64_t data = 0;
    for (size_t k = 0; k < parts.size(); ++k) {
        dataAt[k] = headerBytes + data;
        data += parts[k]->DataEnd() - parts[k]->DataBegin();
    }
    std::string head = ftyp + JoinedIndex::Moov(parts, dataAt);
    BigEndian::Put(head, 1, 4);
    head += "mdat";
    BigEndian::Put(head, data + 16, 8);
    DiskFile out;
    writeFailed = true;
    if (!out.Create(joined, false) || !out.Write(head.data(), head.size()))
        return "the joined recording could not be written: " + TextFormat::SystemMessage(out.Error());
    std::string block;
    for (size_t k = 0; k < parts.size(); ++k) {
        for (uint64_t at = parts[k]->DataBegin(); at < parts[k]->DataEnd();) {
            console.StopIfGone();
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(4u << 20, parts[k]->DataEnd() - at));
            if (!files[k]->ReadExactly(at, n, block)) {
                writeFailed = false;
                return "chapter \"" + NameOf(chapters[k]) + "\" could not be read: " +
                       TextFormat::SystemMessage(files[k]->Error());
            }
            if (!out.Write(block.data(), block.size()))
                return "the joined recording could not be written: " + TextFormat::SystemMessage(out.Error());
            at += n;
        }
    }
    return std::string();
}
