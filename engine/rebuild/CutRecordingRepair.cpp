#include "rebuild/CutRecordingRepair.h"

#include "bytes/BigEndian.h"
#include "ffmpeg/ProgressReporter.h"
#include "mp4/BoxHeader.h"
#include "mp4/Mp4Inspector.h"
#include "mp4/SampleEntries.h"
#include "rebuild/MoovWriter.h"
#include "rebuild/PictureTimes.h"
#include "windows/DiskFile.h"
#include "windows/TextFormat.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

const uint64_t TrialBytes = 8u << 20;       // enough for a few seconds of any camera's stream
const uint32_t AssumedRate = 30;

// Sampling rates whose frames have the same band layout (the same tables in AacTables.h).
bool AacTablesShared(int a, int b)
{
    static const int group[13] = {0, 0, 1, 2, 2, 3, 4, 4, 5, 5, 5, 6, 6};
    return group[a] == group[b];
}

using BigEndian::Be32;

bool WriteAll(ByteSink& out, const std::string& bytes)
{
    return out.Write(bytes.data(), bytes.size());
}

unsigned long Milliseconds()
{
    return static_cast<unsigned long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}


// A trial walk of the first megabytes: do these settings read this stream?
bool Fits(ByteSource& file, uint64_t begin, uint64_t end, NalUnitReader reader, const AacFrameParser* sound,
          MdatScanner* walk = nullptr, const std::vector<SampleShape>& others = std::vector<SampleShape>())
{
    MdatScanner own(reader, sound);
    MdatScanner& trial = walk ? *walk : own;
    trial.StepOver(others);
    if (!trial.Scan(file, begin, end, TrialBytes, nullptr, MdatScanner::Progress()))
        return false;
    uint64_t walked = (trial.LastEnd() > begin ? trial.LastEnd() : begin) - begin + trial.Unrecognised();
    // Without a sound parser the sound between the pictures is left unrecognised.
    return trial.Video().Samples() >= 2 && !trial.Video().keys.empty() && trial.Video().keys[0] == 1 &&
           (!sound || (trial.Unrecognised() - trial.Zeros()) * 10 <= walked);
}

} // namespace

bool CutRecordingRepair::IndexMissing(const std::wstring& path, uint64_t& dataBegin, uint64_t& dataEnd)
{
    DiskFile file;
    if (!file.OpenRead(path))
        return false;
    uint64_t fileSize = file.Size(), pos = 0;
    bool ftyp = false, mdat = false;
    for (int boxes = 0; boxes < 64 && fileSize - pos >= 8; ++boxes) {
        BoxHeader box;
        BoxHeader::Fit fit = BoxHeader::Read(file, pos, fileSize, box);
        if (fit == BoxHeader::Unreadable)
            return false;
        const bool whole = fit == BoxHeader::Inside;
        const std::string& type = box.type;
        if (type == "moov" && whole && !box.toEnd)
            return false;   // (one the cut left short, or stating no size, is missing all the same)
        if (boxes == 0 && type != "ftyp")
            return false;
        ftyp = ftyp || type == "ftyp";
        if (type == "mdat" && !mdat) {
            // A writer that never finished leaves its placeholder size (0, or too small) or one
            // that runs past the end.
            mdat = true;
            dataBegin = pos + box.headerSize;
            dataEnd = !whole || box.size <= box.headerSize ? fileSize : pos + box.size;
            if (dataEnd == fileSize)
                break;
        }
        if (!whole)
            break;
        pos += box.size;
    }
    return ftyp && mdat && dataEnd - dataBegin > 8;
}

std::string CutRecordingRepair::Rebuild(const std::wstring& output)
{
    unsigned long lastLine = Milliseconds();
    MdatScanner::Progress progress = [&](uint64_t done, uint64_t all) {
        m_console.StopIfGone();
        if (Milliseconds() - lastLine >= ProgressReporter::LineEveryMs) {
            m_console.Line("Rebuilding: " + std::to_string(done >> 20) + " of " + std::to_string(all >> 20) + " MB");
            lastLine = Milliseconds();
        }
        return true;
    };
    DiskFile source;
    if (!source.OpenRead(m_recording))
        return "the recording cannot be read: " + TextFormat::SystemMessage(source.Error());
    if (!FindSettings(source, output)) {
        std::string why = "its index was never written, and neither a finished recording from the same camera in "
                          "its folder nor the stream itself tells the video's settings; ";
        if (m_finished.notOpened > 0)
            return why + std::to_string(m_finished.notOpened) + " recording(s) of the same kind beside it are kept "
                         "online only or lead elsewhere and were not opened: make them available on this device "
                         "(\"Always keep on this device\") and convert again";
        return why + "put a recording the same camera finished (same kind of file) in the same folder and convert "
                     "again";
    }
    std::string summary;
    std::string why = Write(source, output, 0, progress, summary);
    if (why.empty())
        m_console.Line(summary);
    return why;
}

std::string CutRecordingRepair::Write(ByteSource& source, const std::wstring& output, uint64_t limit,
                                const MdatScanner::Progress& progress, std::string& summary)
{
    NalUnitReader video(m_settings.codec, m_settings.nalLengthSize);
    video.TakeDecoderConfig(m_settings.DecoderConfig());
    AacFrameParser aac;
    bool sound = !m_settings.soundEntry.empty() && aac.Configure(m_settings.audioSpecificConfig);
    uint32_t fixedBytes = m_settings.soundEntry.empty() ? 0 : m_settings.soundSampleBytes;
    DiskFile out;
    if (!out.Create(output, true)) {
        m_writeFailed = true;
        return "the rebuilt recording cannot be written: " + TextFormat::SystemMessage(out.Error());
    }
    // ftyp, then the media data as the camera wrote it (its size once known), then the index.
    std::string ftyp("\0\0\0\x18" "ftypisom\0\0\x02\0" "isommp41", 24);
    std::string mdat("\0\0\0\x01" "mdat", 8);
    mdat.append(8, '\0');
    MdatScanner scan(video, sound ? &aac : nullptr, fixedBytes, m_settings.soundChunkSamples);
    scan.StepOver(m_settings.others);
    m_writeFailed = true;
    if (!WriteAll(out, ftyp) || !WriteAll(out, mdat))
        return "the rebuilt recording cannot be written: " + TextFormat::SystemMessage(out.Error());
    m_writeFailed = false;
    if (!scan.Scan(source, m_begin, m_end, limit, &out, progress)) {
        m_writeFailed = scan.WriteFailed();
        return "the recording could not be read or rebuilt: " +
               TextFormat::SystemMessage(scan.Error() ? scan.Error() : source.Error());
    }
    if (scan.Video().Samples() == 0)
        return "its index was never written, and no picture could be found in its data with the settings of " +
               (m_settings.from.empty() ? std::string("its stream")
                                        : "\"" + TextFormat::NameUtf8(m_settings.from) + "\"");
    uint64_t dataAt = ftyp.size() + 16;
    std::string size;
    BigEndian::Put(size, 16 + (scan.LastEnd() - m_begin), 8);
    MoovWriter::Track pictures = PicturesOf(scan), frames = SoundOf(scan);
    KeepPauses(scan, pictures, frames);
    std::vector<MoovWriter::Track> others = OthersOf(scan, pictures);
    if (!out.Patch(ftyp.size() + 8, size.data(), size.size()) ||
        !WriteAll(out, MoovWriter::Moov(pictures, frames, m_begin, dataAt, others))) {
        m_writeFailed = true;
        return "the rebuilt recording cannot be written: " + TextFormat::SystemMessage(out.Error());
    }
    summary = Summary(scan, pictures, frames, others);
    return std::string();
}

MoovWriter::Track CutRecordingRepair::SoundOf(const MdatScanner& scan) const
{
    MoovWriter::Track t;
    t.samples = &scan.Sound();
    t.video = false;
    t.sampleEntry = m_settings.soundEntry;
    t.timescale = m_settings.soundTimescale;
    t.ticks = m_settings.soundFrameTicks;
    t.skip = m_settings.soundSkip;
    t.delay = m_settings.soundDelay;
    t.language = m_settings.soundLanguage;
    t.handlerName = m_settings.soundHandlerName;
    return t;
}

std::vector<MoovWriter::Track> CutRecordingRepair::OthersOf(const MdatScanner& scan, const MoovWriter::Track& pictures)
{
    std::vector<MoovWriter::Track> tracks;
    for (size_t i = 0; i < scan.Others().size(); ++i) {
        const SampleShape& shape = scan.OtherShapes()[i];
        const FoundTrack& found = scan.Others()[i];
        if (shape.sampleEntry.empty() || found.Samples() == 0)
            continue;
        MoovWriter::Track t(&found, false, shape.sampleEntry, shape.timescale, shape.ticks);
        t.handler = shape.handler;
        t.handlerName = shape.handlerName;
        t.language = shape.language;
        if (shape.whole) {   // a timecode: its sample stands for the whole recording
            double seconds = pictures.delay + MoovWriter::Seconds(pictures);
            t.ticks = static_cast<uint32_t>(std::max(1.0, seconds * shape.timescale / found.Samples()));
        }
        tracks.push_back(t);
    }
    return tracks;
}

MoovWriter::Track CutRecordingRepair::PicturesOf(const MdatScanner& scan) const
{
    MoovWriter::Track t;
    t.samples = &scan.Video();
    t.sampleEntry = m_settings.videoEntry;
    t.timescale = m_settings.videoTimescale;
    t.ticks = m_settings.frameTicks;
    t.width = m_settings.width;
    t.height = m_settings.height;
    t.matrix = m_settings.videoMatrix;
    t.delay = m_settings.videoDelay;
    t.language = m_settings.videoLanguage;
    t.handlerName = m_settings.videoHandlerName;
    // The sound is the clock where the camera held a picture.
    PictureTimes::Sound sound;
    if (m_settings.soundTimescale > 0) {
        sound = PictureTimes::Sound{&scan.Sound(), static_cast<double>(m_settings.soundFrameTicks) / m_settings.soundTimescale,
                                    m_settings.soundDelay - m_settings.videoDelay};
    }
    long long reordered = 0;
    MoovWriter::PresentationOffsets(scan.Video(), reordered);
    t.durations = PictureTimes::Durations(scan.Video(), t.timescale, t.ticks, sound, reordered);
    return t;
}

bool CutRecordingRepair::FindSettings(ByteSource& file, const std::wstring& trial)
{
    if (!FromSameCamera(file, trial) && !FromStream(file))
        return false;
    if (m_settings.soundEntry.empty())
        GuessSound(file);
    return true;
}

void CutRecordingRepair::GuessSound(ByteSource& file)
{
    // One rate of each band layout, mono and stereo; the rates that share a layout are told
    // apart by which lasts as long as the pictures.
    static const int layouts[] = {3, 5, 6, 8, 11};
    NalUnitReader reader(m_settings.codec, m_settings.nalLengthSize);
    if (!reader.TakeDecoderConfig(m_settings.DecoderConfig()))
        return;
    int bestRate = -1, bestChannels = 0;
    double bestSamples = 0;
    uint64_t bestFrames = 0;
    double pictureSeconds = 0;
    for (int rate : layouts)
        for (int channels = 1; channels <= 2; ++channels) {
            std::string config;
            SampleEntries::AacEntry(rate, channels, config);
            AacFrameParser aac;
            MdatScanner trial(reader, &aac);
            if (!aac.Configure(config) || !Fits(file, m_begin, m_end, reader, &aac, &trial, m_settings.others) ||
                trial.Sound().Samples() < 8 || trial.Sound().Samples() <= bestFrames)
                continue;
            bestFrames = trial.Sound().Samples();
            bestRate = rate;
            bestChannels = channels;
            pictureSeconds = static_cast<double>(trial.Video().Samples()) * m_settings.frameTicks / m_settings.videoTimescale;
            bestSamples = static_cast<double>(bestFrames) * 1024;
        }
    if (bestRate < 0)
        return;
    int rate = bestRate;
    for (int other = bestRate + 1; other < 13 && AacTablesShared(bestRate, other); ++other)
        if (std::fabs(bestSamples / SampleEntries::SampleRate(other) - pictureSeconds) <
            std::fabs(bestSamples / SampleEntries::SampleRate(rate) - pictureSeconds))
            rate = other;
    m_settings.soundEntry = SampleEntries::AacEntry(rate, bestChannels, m_settings.audioSpecificConfig);
    m_settings.soundTimescale = static_cast<uint32_t>(SampleEntries::SampleRate(rate));
    m_settings.soundFrameTicks = 1024;
    m_settings.soundSkip = 0;
    m_soundGuess = "its sound read as AAC, " + std::to_string(SampleEntries::SampleRate(rate)) + " Hz, " +
                   (bestChannels == 1 ? "mono" : "stereo") + " (what its frames show)";
}

bool CutRecordingRepair::FromSameCamera(ByteSource& file, const std::wstring& trial)
{
    for (const std::wstring& path : m_finished.paths) {
        CameraSettings settings;
        // Each candidate's index is read through; a stop ends the search at once.
        if (!SameCameraRecording::SettingsOf(path, settings, [this] {
                m_console.StopIfGone();
                return true;
            }))
            continue;
        NalUnitReader reader(settings.codec, settings.nalLengthSize);
        if (!reader.TakeDecoderConfig(settings.DecoderConfig()))
            continue;
        AacFrameParser aac;
        bool sound = !settings.soundEntry.empty() && aac.Configure(settings.audioSpecificConfig) &&
                     Fits(file, m_begin, m_end, reader, &aac, nullptr, settings.others);
        // Sound set otherwise than in the finished one (mono, another rate) is read as its frames show.
        if (!sound && !Fits(file, m_begin, m_end, reader, nullptr, nullptr, settings.others))
            continue;
        m_settings = settings;
        if (!sound && settings.soundSampleBytes == 0)
            m_settings.soundEntry.clear();
        // Another camera's settings can read the same syntax and still make no picture: the
        // first megabytes rebuilt must decode.
        std::string unused;
        if (!m_decoder ||
            (Write(file, trial, TrialBytes, MdatScanner::Progress(), unused).empty() && m_decoder->Decodes(trial)))
            return true;
    }
    return false;
}

bool CutRecordingRepair::FromStream(ByteSource& file)
{
    // A camera that repeats its parameter sets puts them before the first picture: an SPS
    // and PPS, length-prefixed or after start codes, near the start of the data.
    std::string head;
    uint64_t n = m_end - m_begin < TrialBytes ? m_end - m_begin : TrialBytes;
    if (!file.ReadExactly(m_begin, static_cast<uint32_t>(n), head))
        return false;
    NalUnitReader h264(VideoCodec::H264, 4), hevc(VideoCodec::Hevc, 4);
    for (size_t p = 0; p + 8 < head.size() && !h264.HasParameterSets() && !hevc.HasParameterSets(); ++p) {
        uint8_t type = static_cast<uint8_t>(head[p + 4]), next = static_cast<uint8_t>(head[p + 5]);
        bool avc = type == 0x67 || type == 0x68 || type == 0x27 || type == 0x28 || type == 0x47 || type == 0x48;
        bool hvc = (type == 0x40 || type == 0x42 || type == 0x44) && next == 0x01;
        size_t length = Be32(head, p);
        if (length == 1 && (avc || hvc)) {
            // A start code: the camera's own description of its stream (a sample before the
            // first picture) writes them so; the set runs to the next zero pair.
            size_t end = head.find(std::string("\0\0", 2), p + 5);
            length = end == std::string::npos ? 0 : end - (p + 4);
        }
        if ((!avc && !hvc) || length < 2 || length > 1024 || p + 4 + length > head.size())
            continue;
        if ((avc ? h264 : hevc).TakeParameterSet(reinterpret_cast<const uint8_t*>(head.data()) + p + 4, length))
            p += 3 + length;
    }
    NalUnitReader& reader = h264.HasParameterSets() ? h264 : hevc;
    if (!reader.HasParameterSets() || !Fits(file, m_begin, m_end, reader, nullptr))
        return false;
    m_settings = CameraSettings();
    m_settings.codec = reader.Codec();
    m_settings.videoEntry = reader.Codec() == VideoCodec::H264
                                ? SampleEntries::AvcEntry(reader.RawParameterSets(), reader.Width(), reader.Height())
                                : SampleEntries::HevcEntry(reader.RawParameterSets(), reader.Width(), reader.Height());
    m_settings.width = reader.Width();
    m_settings.height = reader.Height();
    m_settings.videoTimescale = reader.TimeScale();
    m_settings.frameTicks = reader.FrameTicks();
    if (m_settings.frameTicks == 0) {
        m_settings.videoTimescale = AssumedRate;
        m_settings.frameTicks = 1;
        m_assumed = "its stream does not tell its frame rate: " + std::to_string(AssumedRate) +
                    " frames a second assumed";
    }
    return !m_settings.videoEntry.empty();
}

void CutRecordingRepair::KeepPauses(const MdatScanner& scan, MoovWriter::Track& pictures, MoovWriter::Track& sound)
{
    // How long each damaged stretch lasted, by how many bytes a second the rest holds. Both
    // tracks pause that long after the last sample before it: the camera wrote them in the same
    // step before it as after it, so they stay in step, at about their own times.
    const FoundTrack& heard = *sound.samples;
    double seconds = MoovWriter::Seconds(pictures), kept = static_cast<double>(scan.Video().bytes + scan.Sound().bytes);
    m_lostSeconds = 0;
    for (size_t i = 0; i < scan.Damaged().size(); ++i) {
        const MdatScanner::Damage& d = scan.Damaged()[i];
        double lost = kept > 0 ? std::min(d.bytes * seconds / kept, 2 * seconds) : 0;
        m_lostSeconds += lost;
        if (i == 0 && pictures.timescale > 0)
            m_damageAt = static_cast<double>(MoovWriter::TicksBefore(pictures, d.pictures)) / pictures.timescale;
        if (d.pictures == 0 || d.pictures >= pictures.samples->Samples())
            continue;   // nothing of the pictures before or after it
        pictures.pauses.push_back({d.pictures - 1, static_cast<uint32_t>(lost * pictures.timescale + 0.5)});
        uint64_t frames = 0;
        for (const FoundTrack::Chunk& c : heard.chunks)
            frames += c.offset < d.at ? c.samples : 0;
        if (frames > 0 && frames < heard.Samples())
            sound.pauses.push_back({frames - 1, static_cast<uint32_t>(lost * sound.timescale + 0.5)});
    }
}

std::string CutRecordingRepair::Damage(const MdatScanner& scan) const
{
    uint64_t damaged = 0;
    for (const MdatScanner::Damage& d : scan.Damaged())
        damaged += d.bytes;
    size_t places = scan.Damaged().size();
    char seconds10[32];
    std::snprintf(seconds10, sizeof seconds10, "%.1f s", m_lostSeconds);
    std::string lost = m_lostSeconds < 60 ? std::string(seconds10) : TextFormat::Clock(m_lostSeconds);
    return TextFormat::Size(damaged) + " of its data " + (places == 1 ? "at " : "at " + std::to_string(places) +
           " places from ") + TextFormat::Clock(m_damageAt) + " on were damaged (zeros) and skipped: about " + lost +
           " of the recording are lost there, kept as a pause (its length a guess from the bytes lost)";
}

std::string CutRecordingRepair::Summary(const MdatScanner& scan, const MoovWriter::Track& pictures,
                                        const MoovWriter::Track& sound, const std::vector<MoovWriter::Track>& others) const
{
    bool withSound = scan.Sound().Samples() > 0;
    std::string what = "Note: rebuilt from its data with the settings " +
                       (m_settings.from.empty() ? std::string("its video repeats")
                                                : "of \"" + TextFormat::NameUtf8(m_settings.from) +
                                                      "\" from the same camera") +
                       ": " + TextFormat::Clock(MoovWriter::Seconds(pictures)) + " of video" +
                       (withSound ? " and sound" : "");
    if (!m_assumed.empty())
        what += "; " + m_assumed;
    if (withSound && !m_soundGuess.empty())
        what += "; " + m_soundGuess;
    uint64_t data = scan.LastEnd() - m_begin;
    bool leftOver = scan.Unrecognised() * 50 > data;   // more than damage: sound it could not read
    // A finished recording without a sound track tells that the camera records none.
    bool soundless = !m_settings.from.empty() && m_settings.soundFormat.empty();
    if (!withSound && leftOver && !m_settings.soundFormat.empty())
        what += "; its sound (" + m_settings.soundFormat + ") could not be brought back";
    else if (!withSound && leftOver && !soundless)
        what += "; its sound could not be brought back (a finished recording from the same camera, in the same "
                "folder, tells its settings)";
    else if (!scan.Damaged().empty())
        what += "; " + Damage(scan);
    else if (scan.Unrecognised() >= (1u << 20))
        what += "; " + TextFormat::Size(scan.Unrecognised()) + " of its data were neither picture nor sound (damaged?)";
    if (!others.empty()) {
        what += "; with its other tracks:";
        for (size_t i = 0; i < others.size(); ++i)
            what += std::string(i ? "," : "") + " " + others[i].sampleEntry.substr(4, 4) + " (" +
                    std::to_string(others[i].samples->Samples()) +
                    (others[i].samples->Samples() == 1 ? " sample)" : " samples)");
    }
    if (scan.SteppedOverSamples() > 0)
        what += "; " + std::to_string(scan.SteppedOverSamples()) + " samples of its other tracks (" +
                scan.SteppedOverFormats() + ", " + TextFormat::Size(scan.SteppedOverBytes()) +
                ") were stepped over and are not kept" +
                (m_settings.from.empty() ? " (a finished recording from the same camera, in the same folder, tells "
                                           "how to keep them)"
                                         : "");
    // Pictures and sound that end far apart: the pictures' times are a guess.
    double picturesEnd = pictures.delay + MoovWriter::Seconds(pictures), soundEnd = sound.delay + MoovWriter::Seconds(sound);
    if (withSound && std::fabs(picturesEnd - soundEnd) > std::max(1.0, 0.1 * soundEnd))
        what += "; its pictures last " + TextFormat::Clock(picturesEnd) + " but its sound " + TextFormat::Clock(soundEnd) +
                ": when its pictures are shown is uncertain";
    if (!pictures.durations.empty())
        what += "; a picture the camera held is shown as long as the sound around it says";
    if (scan.Bounded())
        what += "; it stops at " + TextFormat::Size(data) +
                " of its data, where it reaches more pictures and sound frames than a camera writes to one file";
    return what;
}
