// A recording whose index was never written: how it is recognised, its pictures and sound
// frames found in the media data as the index would have listed them, and what random bytes
// there lead to.

#include "TestKit.h"

#include "../codec/BitString.h"

#include "codec/AacFrameParser.h"
#include "windows/DiskFile.h"
#include "rebuild/CutRecordingRepair.h"
#include "bytes/BigEndian.h"
#include "bytes/MemoryFile.h"
#include "rebuild/MdatScanner.h"
#include "rebuild/MoovWriter.h"
#include "rebuild/PictureTimes.h"
#include "mp4/Mp4Inspector.h"
#include "rebuild/SameCameraRecording.h"

#include <windows.h>

#include <algorithm>

#include <string>

namespace {

std::wstring TempFile(const wchar_t* name, const std::string& bytes)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring path = std::wstring(base) + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    CloseHandle(h);
    return path;
}

std::string Box(const char* type, size_t declared, size_t payload)
{
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<char>(declared >> (24 - 8 * i));
    return b + type + std::string(payload, 'x');
}

std::string Random(size_t n, unsigned seed)
{
    std::string out(n, '\0');
    for (char& c : out) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return out;
}


} // namespace

TEST_CASE(an_index_never_written_is_recognised)
{
    const std::string ftyp = Box("ftyp", 16, 8);
    uint64_t begin = 0, end = 0;
    // The writer's placeholder size 0, and a size that runs past the end: data to the end.
    CHECK(CutRecordingRepair::IndexMissing(TempFile(L"qm-placeholder.mp4", ftyp + Box("mdat", 0, 100)), begin, end));
    CHECK_EQ(begin, 24ULL);
    CHECK_EQ(end, 124ULL);
    CHECK(CutRecordingRepair::IndexMissing(TempFile(L"qm-past.mp4", ftyp + Box("free", 8, 0) + Box("mdat", 5000, 100)),
                                     begin, end));
    CHECK_EQ(begin, 32ULL);
    CHECK_EQ(end, 132ULL);
    // A writer of files over 4 GB puts a 64-bit size after the box header, also as its placeholder.
    CHECK(CutRecordingRepair::IndexMissing(TempFile(L"qm-large.mp4", ftyp + std::string("\0\0\0\1mdat", 8) +
                                                                   std::string(8, '\0') + std::string(100, 'x')),
                                     begin, end));
    CHECK_EQ(begin, 32ULL);
    CHECK_EQ(end, 132ULL);
    // An index the cut left short is missing as well.
    CHECK(CutRecordingRepair::IndexMissing(TempFile(L"qm-cutmoov.mp4", ftyp + Box("mdat", 108, 100) + Box("moov", 5000, 8)),
                                     begin, end));
    // An index anywhere, no ftyp, or no media data: not this case.
    CHECK(!CutRecordingRepair::IndexMissing(TempFile(L"qm-whole.mp4", ftyp + Box("mdat", 108, 100) + Box("moov", 16, 8)),
                                      begin, end));
    CHECK(!CutRecordingRepair::IndexMissing(TempFile(L"qm-noftyp.mp4", Box("mdat", 0, 100)), begin, end));
    CHECK(!CutRecordingRepair::IndexMissing(TempFile(L"qm-nomdat.mp4", ftyp + Box("free", 108, 100)), begin, end));
}

TEST_CASE(random_bytes_are_no_sound_frame_and_read_nothing_beyond)
{
    // Stereo AAC at 48 kHz; random buffers of every length up to 3000 bytes.
    AacFrameParser aac;
    CHECK(aac.Configure(std::string("\x11\x90", 2)));
    std::string noise = Random(1 << 20, 7);
    size_t frames = 0;
    for (size_t at = 0, n = 1; at + n < noise.size(); at += n, n = n % 3000 + 1) {
        size_t length = aac.FrameLength(reinterpret_cast<const uint8_t*>(noise.data()) + at, n);
        CHECK(length <= n);
        frames += length > 0;
    }
    CHECK(frames < 20);
}

TEST_CASE(pictures_are_shown_when_their_order_count_says)
{
    // IDR, P, B, b, b (counts step by 2), then an IDR and a P whose B-frames the cut kept out.
    FoundTrack t;
    t.order = {0, 8, 4, 2, 6, 0, 8};
    long long shift = 0;
    std::vector<long long> offsets = MoovWriter::PresentationOffsets(t, shift);
    // Shown at 0, 4, 2, 1, 3, then 5 and 9: the lost B-frames leave 6-8 empty.
    CHECK(offsets == std::vector<long long>({0, 3, 0, -2, -1, 0, 3}));
    CHECK_EQ(shift, 2LL);
    // A stream without an order count is shown as stored.
    t.order = {-1, -1, -1};
    CHECK(MoovWriter::PresentationOffsets(t, shift) == std::vector<long long>({0, 0, 0}));
    CHECK_EQ(shift, 0LL);
}

TEST_CASE(aac_settings_read_low_complexity_and_its_he_form_only)
{
    AacFrameParser aac;
    CHECK(aac.Configure(std::string("\x11\x88", 2)));            // LC, 48 kHz, mono
    CHECK_EQ(aac.SampleRateIndex(), 3);
    CHECK_EQ(aac.Channels(), 1);
    CHECK(aac.Configure(std::string("\x2B\x92\x08\x00", 4)));    // HE-AAC, 44.1 kHz: 22.05 kHz LC core, stereo
    CHECK_EQ(aac.SampleRateIndex(), 7);
    CHECK_EQ(aac.Channels(), 2);
    AacFrameParser main;
    CHECK(!main.Configure(std::string("\x0A\x10", 2)));          // AAC Main
    CHECK(!main.Configure(std::string("\x11\xB0", 2)));          // six channels
    CHECK(!main.Configure(std::string("\x11", 1)));
}

namespace {

// Chunks of `pictures` pictures and `frames` sound frames, one after the other in the file.
void Interleave(FoundTrack& video, FoundTrack& sound, uint64_t& at, uint32_t pictures, uint32_t frames)
{
    for (uint32_t i = 0; i < pictures; ++i, at += 100)
        video.Add(at, 100);
    for (uint32_t i = 0; i < frames; ++i, at += 10)
        sound.Add(at, 10);
}

} // namespace

TEST_CASE(a_held_picture_lasts_as_long_as_the_sound_around_it)
{
    // A thermal camera: its first picture held 2 s, then one every 0.113 s, each followed by
    // the sound (48 kHz AAC frames) up to the next picture's time.
    const double frame = 1024.0 / 48000;
    PictureTimes::Sound clock{nullptr, frame, 0.188};
    FoundTrack video, sound;
    uint64_t at = 0, heard = 0;
    for (int k = 0; k < 60; ++k) {
        double next = 2.0 + k * 0.113;
        uint64_t until = static_cast<uint64_t>((next - clock.delay) / frame);
        Interleave(video, sound, at, 1, static_cast<uint32_t>(until - heard));
        heard = until;
    }
    clock.samples = &sound;
    std::vector<uint32_t> held = PictureTimes::Durations(video, 1000, 113, clock);
    if (CHECK_EQ(held.size(), video.sizes.size())) {
        CHECK(held[0] >= 2000 - 45 && held[0] <= 2000 + 45);
        CHECK(std::all_of(held.begin() + 1, held.end(), [](uint32_t d) { return d == 113; }));
    }
    // A camera writing a second of pictures, then its second of sound, steadily: nothing held.
    FoundTrack steady, second;
    at = 0;
    for (int k = 0; k < 10; ++k)
        Interleave(steady, second, at, 25, k % 2 ? 47 : 46);
    clock = PictureTimes::Sound{&second, frame, 0};
    CHECK(PictureTimes::Durations(steady, 1000, 40, clock).empty());
    // Without sound the typical interval is all there is.
    CHECK(PictureTimes::Durations(video, 1000, 113, PictureTimes::Sound()).empty());
}

TEST_CASE(a_rebuilt_index_keeps_what_the_finished_ones_headers_say)
{
    // Each picture's own length, the sound's empty edit, language and handler names read back
    // as written.
    FoundTrack video, sound;
    uint64_t at = 0;
    Interleave(video, sound, at, 10, 20);
    MoovWriter::Track pictures(&video, true, Box("avc1", 16, 8), 1000, 113);
    pictures.durations.assign(10, 113);
    pictures.durations[0] = 2000;
    pictures.handlerName = "Core Media Video";
    MoovWriter::Track frames(&sound, false, Box("mp4a", 16, 8), 48000, 1024);
    frames.delay = 0.188;
    frames.language = 0x15C7;   // "eng"
    const std::string ftyp = Box("ftyp", 16, 8);
    std::string mdat;
    BigEndian::Put(mdat, 8 + at, 4);
    mdat += "mdat" + std::string(static_cast<size_t>(at), '\0');
    Mp4Inspector back;
    if (!CHECK(back.InspectBytes(ftyp + mdat + MoovWriter::Moov(pictures, frames, 0, ftyp.size() + 8))))
        return;
    const Mp4Track& v = back.Summary().tracks[0];
    const Mp4Track& a = back.Summary().tracks[1];
    CHECK_EQ(v.sampleDelta, 2000u);
    CHECK_EQ(v.typicalDelta, 113u);
    CHECK(v.duration > 3.016 && v.duration < 3.018);
    CHECK_EQ(v.handlerName, std::string("Core Media Video"));
    CHECK(v.editDelay == 0);
    CHECK(a.editDelay > 0.1875 && a.editDelay < 0.1885);
    CHECK_EQ(a.language, 0x15C7u);
    CHECK_EQ(a.handlerName, std::string("SoundHandler"));
}

#if ENGINE_TEST_HAVE_SAMPLES
namespace {

// A finished MP4 with B-frames and AAC, to be read as if its index were missing: its settings,
// and the samples and media data its index lists.
struct Camera
{
    Camera() : video(VideoCodec::H264, 4)
    {
        const std::wstring path = L"" ENGINE_TEST_DATA L"/bframes.mp4";
        Mp4Inspector p, f;
        p.KeepSamplesOf(0);
        f.KeepSamplesOf(1);
        ok = SameCameraRecording::SettingsOf(path, settings) && p.InspectFile(path) && f.InspectFile(path) &&
             !p.Samples().empty() && !f.Samples().empty();
        if (!ok)
            return;
        video = NalUnitReader(settings.codec, settings.nalLengthSize);
        ok = video.TakeDecoderConfig(settings.DecoderConfig()) && aac.Configure(settings.audioSpecificConfig);
        pictures = p.Samples();
        frames = f.Samples();
        begin = std::min(pictures.front().offset, frames.front().offset);
        uint64_t end = std::max(pictures.back().offset + pictures.back().size, frames.back().offset + frames.back().size);
        DiskFile file;
        ok = ok && file.OpenRead(path) && file.ReadExactly(begin, static_cast<uint32_t>(end - begin), data);
    }

    bool ok = false;
    CameraSettings settings;
    NalUnitReader video;
    AacFrameParser aac;
    std::vector<SampleSpan> pictures, frames;
    uint64_t begin = 0;
    std::string data;   // the media data from the first sample to the end of the last
};

std::string ReadBack(const std::wstring& path)
{
    DiskFile file;
    std::string out;
    if (file.OpenRead(path))
        file.ReadExactly(0, static_cast<uint32_t>(file.Size()), out);
    return out;
}

} // namespace

TEST_CASE(the_media_data_walked_gives_the_samples_the_index_lists)
{
    // Every picture and sound frame found, at the index's places and sizes.
    Camera camera;
    if (!CHECK(camera.ok))
        return;
    DiskFile file;
    file.OpenRead(L"" ENGINE_TEST_DATA L"/bframes.mp4");
    MdatScanner scan(camera.video, &camera.aac);
    CHECK(scan.Scan(file, camera.begin, camera.begin + camera.data.size(), 0, nullptr, MdatScanner::Progress()));
    file.Close();
    const std::vector<SampleSpan>& p = camera.pictures;
    const std::vector<SampleSpan>& f = camera.frames;
    CHECK_EQ(scan.Video().Samples(), static_cast<unsigned long long>(p.size()));
    CHECK_EQ(scan.Sound().Samples(), static_cast<unsigned long long>(f.size()));
    CHECK_EQ(scan.Unrecognised(), 0ULL);
    for (size_t i = 0; i < p.size() && i < scan.Video().sizes.size(); ++i)
        if (!CHECK_EQ(scan.Video().sizes[i], p[i].size))
            break;
    for (size_t i = 0; i < f.size() && i < scan.Sound().sizes.size(); ++i)
        if (!CHECK_EQ(scan.Sound().sizes[i], f[i].size))
            break;
    // B-frames: shown in another order than they are stored.
    bool reordered = false;
    for (size_t i = 1; i < scan.Video().order.size(); ++i)
        reordered = reordered || scan.Video().order[i] < scan.Video().order[i - 1];
    CHECK(reordered);
}

TEST_CASE(a_long_recording_is_copied_whole_through_the_window)
{
    // More data than the walk's window holds (40 MB), its copy compared byte for byte: every
    // slide of the window reads and writes the right bytes, and nothing is found twice or lost.
    Camera camera;
    if (!CHECK(camera.ok))
        return;
    size_t times = (48u << 20) / camera.data.size() + 1;
    std::string recording;
    recording.reserve(times * camera.data.size());
    for (size_t i = 0; i < times; ++i)
        recording += camera.data;
    std::wstring source = TempFile(L"qm-long.bin", recording), copy = TempFile(L"qm-long-copy.bin", "");
    DiskFile in;
    in.OpenRead(source);
    DiskFile out;
    out.Create(copy, true);
    MdatScanner scan(camera.video, &camera.aac);
    CHECK(scan.Scan(in, 0, recording.size(), 0, &out, MdatScanner::Progress()));
    in.Close();
    out.Close();
    CHECK_EQ(scan.Video().Samples(), static_cast<unsigned long long>(times * camera.pictures.size()));
    CHECK_EQ(scan.Sound().Samples(), static_cast<unsigned long long>(times * camera.frames.size()));
    CHECK(ReadBack(copy) == recording);
    DeleteFileW(source.c_str());
    DeleteFileW(copy.c_str());
}

namespace {

// A card that fails every read (a CRC error) or a drive that fails every write.
struct Broken : MemoryFile
{
    explicit Broken(const std::string& bytes = std::string()) : MemoryFile(bytes) {}
    bool Read(uint64_t, void*, size_t, size_t&) override { return false; }
    bool Write(const void*, size_t) override { return false; }
    unsigned long Error() const override { return 23; }
};

} // namespace

TEST_CASE(a_walk_stopped_by_reading_is_the_recordings_fault_and_by_writing_the_targets)
{
    Camera camera;
    if (!CHECK(camera.ok))
        return;
    Broken unreadable(camera.data), full;
    MemoryFile copy;
    MdatScanner reading(camera.video, &camera.aac);
    CHECK(!reading.Scan(unreadable, 0, camera.data.size(), 0, &copy, MdatScanner::Progress()));
    CHECK(!reading.WriteFailed());
    MemoryFile recording(camera.data);
    MdatScanner writing(camera.video, &camera.aac);
    CHECK(!writing.Scan(recording, 0, camera.data.size(), 0, &full, MdatScanner::Progress()));
    CHECK(writing.WriteFailed());
}

namespace {

// A GoPro's telemetry sample: a DEVC KLV nesting a device id and a stream of readings.
std::string Telemetry(uint16_t readings)
{
    std::string inner = std::string("DVID" "L\x04\x00\x01", 8) + std::string("\0\0\0\x01", 4) +
                        std::string("STRM\x00\x01", 6);
    BigEndian::Put(inner, readings, 2);
    for (uint16_t i = 0; i < readings; ++i)
        inner.push_back(static_cast<char>(i % 3 == 0 ? 0 : i % 3 == 1 ? 1 : 0x65));   // start-code-like bytes
    while (inner.size() % 4)
        inner.push_back('\0');
    std::string devc("DEVC\x00\x01", 6);
    BigEndian::Put(devc, inner.size(), 2);
    return devc + inner;
}

// A timecode sample: the frame number it starts at.
std::string Timecode(uint32_t frame)
{
    std::string t;
    BigEndian::Put(t, frame, 4);
    return t;
}

// A timed-metadata sample: key boxes under local key numbers, their values with bytes that
// look like start codes.
std::string KeyBoxes(int n)
{
    std::string sample;
    for (uint32_t key = 1; key <= 2; ++key) {
        std::string value = std::string("\0\0\x01\x65+45.1234-122.5678/", 22) + std::to_string(n);
        BigEndian::Put(sample, 8 + value.size(), 4);
        BigEndian::Put(sample, key, 4);
        sample += value;
    }
    return sample;
}

} // namespace

TEST_CASE(other_tracks_between_pictures_and_sound_are_found_and_listed_again)
{
    // The camera's chunks in their order with another track's sample wherever pictures give
    // way to sound or sound to pictures - telemetry, a timecode, timed metadata in turn: every
    // picture and sound frame is still found, nothing is taken for damage, and the tracks a
    // finished recording describes (telemetry, timecode) are listed again at their places.
    Camera camera;
    if (!CHECK(camera.ok))
        return;
    std::vector<std::pair<uint64_t, bool>> order;   // offset, a picture
    for (const SampleSpan& s : camera.pictures)
        order.push_back({s.offset, true});
    for (const SampleSpan& s : camera.frames)
        order.push_back({s.offset, false});
    std::sort(order.begin(), order.end());
    std::string data;
    std::vector<SampleSpan> inserted[3];
    for (size_t i = 0; i < order.size(); ++i) {
        uint64_t end = i + 1 < order.size() ? order[i + 1].first : camera.begin + camera.data.size();
        data += camera.data.substr(static_cast<size_t>(order[i].first - camera.begin),
                                   static_cast<size_t>(end - order[i].first));
        if (i + 1 < order.size() && order[i + 1].second != order[i].second) {
            size_t n = inserted[0].size() + inserted[1].size() + inserted[2].size();
            std::string sample = n % 3 == 0 ? Telemetry(static_cast<uint16_t>(200 + 37 * n))
                                 : n % 3 == 1 ? Timecode(static_cast<uint32_t>(n * 25)) : KeyBoxes(static_cast<int>(n));
            inserted[n % 3].push_back(SampleSpan{data.size(), static_cast<uint32_t>(sample.size())});
            data += sample;
        }
    }
    SampleShape gpmd, tmcd;
    gpmd.format = "gpmd";
    gpmd.gpmf = true;
    tmcd.format = "tmcd";
    tmcd.fixedSize = tmcd.largest = 4;
    for (SampleShape* s : {&gpmd, &tmcd}) {
        s->sampleEntry = Box(s->format.c_str(), 16, 8);
        s->handler = s == &gpmd ? "meta" : "tmcd";
        s->timescale = 1000;
        s->ticks = 1001;
    }
    MemoryFile file(data);
    MdatScanner scan(camera.video, &camera.aac);
    scan.StepOver({gpmd, tmcd});
    CHECK(scan.Scan(file, 0, data.size(), 0, nullptr, MdatScanner::Progress()));
    CHECK_EQ(scan.Video().Samples(), static_cast<unsigned long long>(camera.pictures.size()));
    CHECK_EQ(scan.Sound().Samples(), static_cast<unsigned long long>(camera.frames.size()));
    CHECK_EQ(scan.SteppedOverSamples(), static_cast<unsigned long long>(inserted[2].size()));
    CHECK_EQ(scan.SteppedOverFormats(), std::string("metadata"));
    CHECK_EQ(scan.Unrecognised(), 0ULL);
    MoovWriter::Track pictures(&scan.Video(), true, camera.settings.videoEntry, 25, 1);
    MoovWriter::Track sound(&scan.Sound(), false, camera.settings.soundEntry, 48000, 1024);
    std::vector<MoovWriter::Track> others;
    for (size_t i = 0; i < 2; ++i) {
        others.emplace_back(&scan.Others()[i], false, scan.OtherShapes()[i].sampleEntry, 1000, 1001);
        others.back().handler = scan.OtherShapes()[i].handler;
    }
    const std::string ftyp = Box("ftyp", 16, 8);
    std::string mdat;
    BigEndian::Put(mdat, 8 + data.size(), 4);
    std::string rebuilt = ftyp + mdat + "mdat" + data + MoovWriter::Moov(pictures, sound, 0, ftyp.size() + 8, others);
    for (size_t track = 2; track < 4; ++track) {
        Mp4Inspector back;
        back.KeepSamplesOf(track);
        if (!CHECK(back.InspectBytes(rebuilt)) || !CHECK_EQ(back.Summary().tracks.size(), size_t(4)))
            return;
        CHECK_EQ(back.Summary().tracks[track].handler, std::string(track == 2 ? "meta" : "tmcd"));
        const std::vector<SampleSpan>& want = inserted[track - 2];
        if (!CHECK_EQ(back.Samples().size(), want.size()))
            continue;
        for (size_t i = 0; i < want.size(); ++i)
            if (!CHECK_EQ(back.Samples()[i].offset, want[i].offset + ftyp.size() + 8) ||
                !CHECK_EQ(back.Samples()[i].size, want[i].size))
                break;
    }
}

TEST_CASE(damage_in_the_middle_costs_only_what_it_hit)
{
    // Three copies of the recording, the middle one's data overwritten from a tenth in - by
    // noise, or by 100 KB of zeros in place of its rest (a card's bad blocks): the walk takes no picture or sound
    // frame from the damage, finds the third copy whole again from its first byte, and tells
    // where a long stretch of damage was.
    Camera camera;
    if (!CHECK(camera.ok))
        return;
    for (bool zeros : {false, true}) {
        std::string recording = camera.data + camera.data + camera.data;
        size_t hit = camera.data.size() + camera.data.size() / 10;
        std::string damage = zeros ? std::string(100000, '\0') : Random(4096, 3);
        recording.replace(hit, zeros ? 2 * camera.data.size() - hit : damage.size(), damage);
        const size_t thirdCopy = recording.size() - camera.data.size();
        std::wstring source = TempFile(L"qm-damaged.bin", recording);
        DiskFile in;
        in.OpenRead(source);
        MdatScanner scan(camera.video, &camera.aac);
        CHECK(scan.Scan(in, 0, recording.size(), 0, nullptr, MdatScanner::Progress()));
        in.Close();
        DeleteFileW(source.c_str());
        uint64_t samples = scan.Video().Samples() + scan.Sound().Samples();
        uint64_t whole = camera.pictures.size() + camera.frames.size();
        CHECK(samples >= 2 * whole && samples < 3 * whole);
        CHECK(scan.Unrecognised() >= damage.size());
        CHECK_EQ(scan.LastEnd(), static_cast<unsigned long long>(recording.size()));
        if (zeros && CHECK_EQ(scan.Damaged().size(), size_t(1))) {
            CHECK(scan.Damaged()[0].at <= hit);
            CHECK(scan.Damaged()[0].at + scan.Damaged()[0].bytes >= hit + damage.size());
        }
        // Nothing taken overlaps the damage; every sample of the third copy is taken as it is.
        std::vector<std::pair<uint64_t, uint32_t>> third, want;
        for (const std::vector<SampleSpan>* spans : {&camera.pictures, &camera.frames})
            for (const SampleSpan& span : *spans)
                want.push_back({thirdCopy + span.offset - camera.begin, span.size});
        for (const FoundTrack* t : {&scan.Video(), &scan.Sound()}) {
            size_t sample = 0;
            for (const FoundTrack::Chunk& c : t->chunks) {
                uint64_t at = c.offset;
                for (uint32_t i = 0; i < c.samples; ++i, ++sample) {
                    CHECK(at + t->sizes[sample] <= hit || at >= hit + damage.size());
                    if (at >= thirdCopy)
                        third.push_back({at, t->sizes[sample]});
                    at += t->sizes[sample];
                }
            }
        }
        std::sort(third.begin(), third.end());
        std::sort(want.begin(), want.end());
        CHECK(third == want);
    }
}

TEST_CASE(random_media_data_makes_no_recording)
{
    // The settings of a real camera, 4 MB of noise where its data would be: the walk ends,
    // within the data, with next to nothing taken for a picture or a sound frame.
    CameraSettings settings;
    CHECK(SameCameraRecording::SettingsOf(L"" ENGINE_TEST_DATA L"/av.mp4", settings));
    NalUnitReader video(settings.codec, settings.nalLengthSize);
    CHECK(video.TakeDecoderConfig(settings.DecoderConfig()));
    AacFrameParser aac;
    CHECK(aac.Configure(settings.audioSpecificConfig));
    const std::string noise = Random(4 << 20, 11);
    std::wstring path = TempFile(L"qm-noise.bin", noise);
    DiskFile file;
    file.OpenRead(path);
    MdatScanner scan(video, &aac);
    CHECK(scan.Scan(file, 0, noise.size(), 0, nullptr, MdatScanner::Progress()));
    file.Close();
    CHECK(scan.LastEnd() <= noise.size());
    CHECK(scan.Video().Samples() + scan.Sound().Samples() < 10);
    CHECK(scan.Unrecognised() > noise.size() * 9 / 10);
    DeleteFileW(path.c_str());
}
#endif

namespace {

std::string Prefixed(const std::string& nal)
{
    std::string n(4, '\0');
    n[2] = static_cast<char>(nal.size() >> 8);
    n[3] = static_cast<char>(nal.size());
    return n + nal;
}

} // namespace

TEST_CASE(pictures_no_camera_writes_stop_at_a_bound)
{
    // One macroblock a picture, eight bytes each, numbered as a stream must be: millions of
    // them in 40 MB. The walk stops at its bound instead of listing them all.
    NalUnitReader video(VideoCodec::H264, 4);
    // Baseline, 16x16, frame numbers of 4 bits, picture order from the frame number.
    std::string sps = std::string("\x67\x42\x00\x1E", 4) + Bits("1" "1" "011" "010" "0" "1" "1" "1" "1" "0" "0" "1");
    std::string pps = std::string("\x68", 1) + Bits("1" "1" "0" "0" "1" "1");
    CHECK(video.TakeParameterSet(reinterpret_cast<const uint8_t*>(sps.data()), sps.size()));
    CHECK(video.TakeParameterSet(reinterpret_cast<const uint8_t*>(pps.data()), pps.size()));
    std::string data = Prefixed(std::string("\x65", 1) + Bits("1" "0001000" "1" "0000" "1" "1"));
    std::string pictures[16];
    for (int n = 0; n < 16; ++n) {
        std::string number;
        for (int b = 3; b >= 0; --b)
            number += (n >> b) & 1 ? '1' : '0';
        pictures[n] = Prefixed(std::string("\x41", 1) + Bits("1" "00110" "1" + number + "1"));
    }
    data.reserve(42u << 20);
    for (int n = 1; data.size() < (40u << 20); ++n)
        data += pictures[n % 16];
    std::wstring path = TempFile(L"qm-many.bin", data);
    DiskFile file;
    file.OpenRead(path);
    MdatScanner scan(video, nullptr);
    CHECK(scan.Scan(file, 0, data.size(), 0, nullptr, MdatScanner::Progress()));
    file.Close();
    CHECK(scan.Bounded());
    CHECK(scan.Video().Samples() > 3900000 && scan.Video().Samples() <= 4000001);   // of 5.2 million
    DeleteFileW(path.c_str());
}
