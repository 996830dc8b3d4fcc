#include "join/ChapterJoin.h"

#include "bytes/BigEndian.h"
#include "join/JoinedIndex.h"
#include "mp4/BoxHeader.h"
#include "mp4/FramingCheck.h"
#include "mp4/Mp4Inspector.h"
#include "windows/Console.h"
#include "windows/DiskFile.h"
#include "windows/TextFormat.h"

#include <algorithm>
#include <memory>

namespace {

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

// Pictures and sound an MP4 player takes as they are, in an MP4 (not QuickTime) file.
bool AlreadyMp4(const std::string& ftyp, const ChapterIndex& first)
{
    if (ftyp.compare(8, 4, "qt  ") == 0)
        return false;
    for (const ChapterTrack& t : first.Tracks()) {
        std::string format = t.sampleEntries.size() >= 24 ? t.sampleEntries.substr(20, 4) : std::string();
        if ((t.handler == "vide" && format != "avc1" && format != "hvc1" && format != "hev1") ||
            (t.handler == "soun" && format != "mp4a"))
            return false;
    }
    return true;
}

} // namespace

std::string ChapterJoin::Check(const std::wstring& joined, const JoinedFile& wrote, Mp4Summary& read)
{
    Mp4Inspector index;
    if (!index.InspectFile(joined))
        return "it does not read back: " + index.Problem();
    read = index.Summary();
    const std::vector<Mp4Track>& tracks = read.tracks;
    if (tracks.size() != wrote.samples.size())
        return "it does not hold every track";
    for (size_t i = 0; i < tracks.size(); ++i)
        if (tracks[i].samples != wrote.samples[i])
            return "its " + tracks[i].handler + " track holds " + std::to_string(tracks[i].samples) + " of " +
                   std::to_string(wrote.samples[i]) + " samples";
    return FramingCheck::Ends(joined);
}

std::string ChapterJoin::OtherTracks(const Mp4Summary& mp4)
{
    std::string names;
    bool picture = false, sound = false;
    for (const Mp4Track& t : mp4.tracks) {
        std::string name = t.format == "gpmd" ? "GPS/telemetry (gpmd)" : t.handler == "tmcd" ? "timecode"
                           : t.handler == "soun" && sound ? "another sound track (" + t.format + ")"
                           : t.handler == "vide" && picture ? "another picture track (" + t.format + ")"
                           : t.handler == "soun" || t.handler == "vide" ? std::string()
                           : t.handler + " " + t.format;
        picture = picture || t.handler == "vide";
        sound = sound || t.handler == "soun";
        if (!name.empty())
            names += (names.empty() ? "" : ", ") + name;
    }
    return names;
}

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
                               bool& writeFailed, JoinedFile& wrote)
{
    writeFailed = false;
    std::vector<std::unique_ptr<DiskFile>> files;
    std::vector<std::unique_ptr<ChapterIndex>> indexes;
    std::vector<const ChapterIndex*> parts;
    for (const std::wstring& path : chapters) {
        files.emplace_back(new DiskFile);
        indexes.emplace_back(new ChapterIndex);
        std::string name = "chapter \"" + TextFormat::NameUtf8(path) + "\"";
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
            return "chapter \"" + TextFormat::NameUtf8(chapters[k]) +
                   "\" does not continue the one before: " + why;
    }
    const std::string ftyp = FileType(*files[0]);
    wrote.mp4 = AlreadyMp4(ftyp, *parts[0]);
    wrote.createdSeconds = parts[0]->CreatedSeconds();
    wrote.samples.assign(parts[0]->Tracks().size(), 0);
    for (const ChapterIndex* c : parts)
        for (size_t i = 0; i < wrote.samples.size(); ++i)
            wrote.samples[i] += c->Tracks()[i].samples;
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
    std::vector<char> block(8u << 20);   // one buffer for all: no clearing of each block
    for (size_t k = 0; k < parts.size(); ++k) {
        for (uint64_t at = parts[k]->DataBegin(); at < parts[k]->DataEnd();) {
            console.StopIfGone();
            size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), parts[k]->DataEnd() - at)), got = 0;
            bool read = files[k]->Read(at, block.data(), n, got);
            if (!read || got == 0) {
                writeFailed = false;
                return "chapter \"" + TextFormat::NameUtf8(chapters[k]) + "\" " +
                       (read ? std::string("ended before its media data did (changed while it was read?)")
                             : "could not be read: " + TextFormat::SystemMessage(files[k]->Error()));
            }
            if (!out.Write(block.data(), got))
                return "the joined recording could not be written: " + TextFormat::SystemMessage(out.Error());
            at += got;
        }
    }
    return std::string();
}
