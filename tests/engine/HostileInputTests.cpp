// Bytes made to break the engine's own readers: each is refused with a plain reason, never
// read elsewhere, never taken for a stream it is not.

#include "TestKit.h"

#include "codec/BitString.h"

#include "bytes/BigEndian.h"
#include "bytes/MemoryFile.h"
#include "mp4/Mp4Inspector.h"
#include "codec/NalUnitReader.h"

#include <string>

namespace {

std::string Be32(uint32_t v)
{
    std::string s;
    BigEndian::Put(s, v, 4);
    return s;
}

std::string Box(const char* type, const std::string& payload)
{
    return Be32(static_cast<uint32_t>(payload.size() + 8)) + type + payload;
}

// A phone's 3GP with one AMR sound track: `samples` samples of 10 bytes in `chunks` chunks at
// the media data's start, its sample-to-chunk table starting at chunk `firstChunk`; `extra` is
// put in its sample table.
std::string Phone3gp(uint32_t samples, uint32_t chunks, uint32_t firstChunk, const std::string& extra = "")
{
    std::string ftyp = Box("ftyp", "3gp4" + Be32(0));
    std::string mdat = Box("mdat", std::string(samples * 10, '\x3c'));
    std::string stco = Be32(0) + Be32(chunks);
    for (uint32_t c = 0; c < chunks; ++c)
        stco += Be32(static_cast<uint32_t>(ftyp.size() + 8));
    std::string stbl = Box("stsd", Be32(0) + Be32(1) + Be32(16) + "samr" + std::string(8, '\0')) +
                       Box("stsz", Be32(0) + Be32(10) + Be32(samples)) +
                       Box("stsc", Be32(0) + Be32(1) + Be32(firstChunk) + Be32(samples) + Be32(1)) +
                       Box("stco", stco) + extra;
    std::string mdia = Box("mdhd", std::string(12, '\0') + Be32(8000) + Be32(samples * 160) + Be32(0)) +
                       Box("hdlr", Be32(0) + Be32(0) + "soun" + std::string(13, '\0')) +
                       Box("minf", Box("stbl", stbl));
    return ftyp + mdat + Box("moov", Box("trak", Box("mdia", mdia)));
}

bool ReadSound(const std::string& file, Mp4Inspector& index)
{
    MemoryFile bytes(file);
    index.KeepSamplesOf(0);
    return index.ReadTracks(bytes);
}

// Exp-Golomb codes of 2^32 - 2 (a signed one: -(2^31 - 1)) and 2^32 - 3 (signed: 2^31 - 1):
// what no field of a parameter set may hold.
const std::string Huge = std::string(31, '0') + "1" + std::string(31, '1');
const std::string HugeOdd = std::string(31, '0') + "1" + std::string(30, '1') + "0";

bool Takes(VideoCodec codec, const std::string& nal)
{
    NalUnitReader reader(codec, 4);
    return reader.TakeParameterSet(reinterpret_cast<const uint8_t*>(nal.data()), nal.size());
}

} // namespace

TEST_CASE(a_chunk_table_counted_from_0_is_damage_not_a_read_before_the_chunk_list)
{
    // Chunks count from 1: a table starting at 0 would take the place of "chunk 0" from the
    // bytes before the list (or below address 0 when the list is empty).
    Mp4Inspector good, withChunks, noChunks;
    CHECK(ReadSound(Phone3gp(3, 1, 1), good));
    CHECK_EQ(good.Samples().size(), static_cast<size_t>(3));
    CHECK(!good.Samples().empty() && good.Samples()[2].offset == good.Samples()[0].offset + 20);
    CHECK(!ReadSound(Phone3gp(3, 1, 0), withChunks));
    CHECK(withChunks.Problem().find("sample-to-chunk table is damaged") != std::string::npos);
    CHECK(!ReadSound(Phone3gp(3, 0, 0), noChunks));
    CHECK(withChunks.Samples().empty() && noChunks.Samples().empty());
}

TEST_CASE(parameter_sets_beyond_the_codecs_ranges_are_refused)
{
    // Baseline, 16x16, 4-bit frame numbers: taken. The same with a frame number or picture order
    // count of 2^31 bits, or a High profile scaling step of 2^31, would wrap to a negative width
    // of field and make every picture read wrongly.
    const std::string baseline("\x67\x42\x00\x1E", 4);
    CHECK(Takes(VideoCodec::H264, baseline + Bits("1" "1" "011" "010" "0" "1" "1" "1" "1" "0" "0" "1")));
    CHECK(!Takes(VideoCodec::H264, baseline + Bits("1" + Huge + "011" "010" "0" "1" "1" "1" "1" "0" "0" "1")));
    CHECK(!Takes(VideoCodec::H264, baseline + Bits("1" "1" "1" + Huge + "010" "0" "1" "1" "1" "1" "0" "0" "1")));
    // High: 4:2:0, 8 bits, scaling matrix given, its first list's first step 2^31 - 1.
    const std::string high("\x67\x64\x00\x1E", 4);
    // The rest as a camera writes it: the list's other steps 0, no other list, then the fields above.
    CHECK(!Takes(VideoCodec::H264, high + Bits("1" "010" "1" "1" "0" "1" "1" + HugeOdd + std::string(15, '1') +
                                               "0000000" "1" "011" "010" "0" "1" "1" "1" "1" "0" "0" "1")));
    // An HEVC SPS whose picture order count has 2^31 + 4 bits.
    CHECK(!Takes(VideoCodec::Hevc, Hex("4201010160000003000003000003000003005aa030810580000003008000000300ffc210")));
}

TEST_CASE(wide_fields_of_small_values_are_written_whole)
{
    // An index writer's ten reserved bytes: eight zeros, then the value (no shift past 64 bits).
    std::string s;
    BigEndian::Put(s, 0x0102, 10);
    CHECK(s == std::string(8, '\0') + "\x01\x02");
    CHECK_EQ(BigEndian::Be32(std::string("\x01\x02\x03", 3), 0), 0u);   // past the end: 0, not beyond
}

TEST_CASE(the_box_reader_takes_a_tracks_first_description_and_bounds_its_lists)
{
    // A second description (here of no codec at all) does not replace the first.
    Mp4Inspector twice;
    std::string second = Box("stsd", Be32(0) + Be32(1) + Be32(16) + "junk" + std::string(8, '\0'));
    CHECK(ReadSound(Phone3gp(3, 1, 1, second), twice));
    CHECK(!twice.Summary().tracks.empty() && twice.Summary().tracks[0].format == "samr");
    // More chunks than a kept track may list (4 million): the samples are not placed.
    Mp4Inspector crowded;
    std::string many = Box("co64", Be32(0) + Be32(4000001) + std::string(4000001 * 8, '\0'));
    CHECK(ReadSound(Phone3gp(3, 0, 1, many), crowded));
    CHECK(crowded.Samples().empty());
    // A walk nobody waits for any more stops, saying so.
    std::string boxes;
    for (int i = 0; i < 3000; ++i)
        boxes += Box("free", "");
    Mp4Inspector stopped;
    stopped.WhileWanted([] { return false; });
    CHECK(!stopped.InspectBytes(Phone3gp(3, 1, 1) + boxes));
    CHECK(stopped.Problem().find("stopped") != std::string::npos);
}
