// A camera's parameter sets and the slice fields that order its pictures, as an MP4 sample
// holds them (length-prefixed).

#include "TestKit.h"

#include "BitString.h"

#include "codec/NalUnitReader.h"

#include <string>

namespace {

// What an encoder writes: an 03 wherever the payload would hold 00 00 0x.
std::string Escaped(const std::string& rbsp)
{
    std::string out;
    int zeros = 0;
    for (char c : rbsp) {
        if (zeros >= 2 && static_cast<unsigned char>(c) <= 3) {
            out += '\x03';
            zeros = 0;
        }
        zeros = c == 0 ? zeros + 1 : 0;
        out += c;
    }
    return out;
}

std::string Prefixed(const std::string& nal, int lengthSize = 4)
{
    std::string out;
    for (int i = lengthSize - 1; i >= 0; --i)
        out += static_cast<char>(nal.size() >> (8 * i));
    return out + nal;
}

bool Take(NalUnitReader& r, const std::string& nal)
{
    return r.TakeParameterSet(reinterpret_cast<const uint8_t*>(nal.data()), nal.size());
}

bool Read(const NalUnitReader& r, const std::string& bytes, NalUnit& unit, bool strict = true)
{
    return r.Read(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), unit, strict);
}

// Baseline 1920x1080 (1088 cropped by 8 rows), frame numbers of 5 bits, picture order
// counts of 6, 30000/1001 frames a second.
const std::string Sps1080 = std::string("\x67\x42\x00\x28", 4) +
    Escaped(Bits(Ue(0) + Ue(1) + Ue(0) + Ue(2) + Ue(1) + "0" + Ue(119) + Ue(67) + "1" "1" +
                 "1" + Ue(0) + Ue(0) + Ue(0) + Ue(4) + "1" "0000" "1" + Field(1001, 32) + Field(60000, 32) + "1" "0" "1"));
// High, id 1, interlaced 720x576 PAL: a scaling list ended by a step to 0, order type 1, an
// extended aspect ratio and colour description before 25 frames (50 fields) a second.
const std::string SpsPal = std::string("\x67\x64\x00\x1E", 4) +
    Escaped(Bits(Ue(1) + Ue(1) + Ue(0) + Ue(0) + "0" + "1" "1" + Se(-8) + "0000000" + Ue(0) + Ue(1) + "0" + Se(0) +
                 Se(-1) + Ue(1) + Se(1) + Ue(2) + "0" + Ue(44) + Ue(17) + "0" "1" "1" "0" + "1" + "1" + Field(255, 8) +
                 Field(16, 16) + Field(11, 16) + "0" + "1" + Field(5, 3) + "0" "1" + Field(0x010101, 24) + "0" + "1" +
                 Field(1, 32) + Field(50, 32) + "1" "0" "1"));
const std::string Pps0 = "\x68" + Bits(Ue(0) + Ue(0) + "0" "0" + "1");
const std::string Pps1 = "\x68" + Bits(Ue(1) + Ue(1) + "0" "0" + "1");

// A slice of the 1080 stream: header byte, first macroblock, type, frame number, order count.
std::string Slice(char header, unsigned firstMb, unsigned type, unsigned frameNum, unsigned pocLsb)
{
    bool idr = (header & 0x1F) == 5;
    return Prefixed(std::string(1, header) + Bits(Ue(firstMb) + Ue(type) + Ue(0) + Field(frameNum, 5) +
                                                  (idr ? Ue(0) : "") + Field(pocLsb, 6) + "1"));
}

// A field of the PAL stream.
std::string PalField(unsigned frameNum, bool bottom)
{
    return Prefixed("\x41" + Bits(Ue(0) + Ue(5) + Ue(1) + Field(frameNum, 4) + "1" + (bottom ? "1" : "0") + "1"));
}

} // namespace

TEST_CASE(h264_parameter_sets_give_size_and_frame_rate)
{
    NalUnitReader hd(VideoCodec::H264, 4);
    REQUIRE(Take(hd, Sps1080) && Take(hd, Pps0));
    CHECK(hd.HasParameterSets());
    CHECK_EQ(hd.Width(), 1920);
    CHECK_EQ(hd.Height(), 1080);
    // H.264 counts a tick per field: two make a frame.
    CHECK_EQ(hd.TimeScale(), 60000u);
    CHECK_EQ(hd.FrameTicks(), 2002u);

    // The same sets as an avcC box lists them.
    std::string avcc = std::string("\x01\x42\x00\x28\xFF\xE1", 6) + Prefixed(Sps1080, 2) + "\x01" + Prefixed(Pps0, 2);
    NalUnitReader boxed(VideoCodec::H264, 4);
    CHECK(boxed.TakeDecoderConfig(avcc));
    CHECK_EQ(boxed.RawParameterSets().size(), 2u);
    CHECK_EQ(boxed.Height(), 1080);

    NalUnitReader pal(VideoCodec::H264, 4);
    REQUIRE(Take(pal, SpsPal) && Take(pal, Pps1));
    CHECK_EQ(pal.Width(), 720);
    CHECK_EQ(pal.Height(), 576);
    CHECK_EQ(pal.TimeScale(), 50u);
    CHECK_EQ(pal.FrameTicks(), 2u);
}

TEST_CASE(h264_slices_give_what_frame_order_needs)
{
    NalUnitReader r(VideoCodec::H264, 4);
    REQUIRE(Take(r, Sps1080) && Take(r, Pps0));
    NalUnit unit;
    // A unit the data's end cuts short, or of one byte (an SEI header), is none; prefixes of
    // two bytes count as well as of four.
    const std::string idr = Slice('\x65', 0, 7, 0, 0);
    CHECK(!Read(r, idr.substr(0, idr.size() - 1), unit));
    CHECK(!Read(r, std::string("\0\0\0\1\x06\x05", 6), unit));
    NalUnitReader two(VideoCodec::H264, 2);
    REQUIRE(Take(two, Sps1080) && Take(two, Pps0));
    CHECK(Read(two, idr.substr(2), unit) && unit.key && unit.size == idr.size() - 2);

    REQUIRE(Read(r, idr + "trailing bytes", unit));
    CHECK(unit.picture && unit.key && unit.startsPicture);
    CHECK_EQ(unit.size, static_cast<uint32_t>(idr.size()));
    CHECK_EQ(r.TakePicture(unit), 0LL);
    // An IDR picture numbered past 0, a slice past the picture's 8160 macroblocks, a slice
    // of a picture parameter set never given: no slice of this stream.
    CHECK(!Read(r, Slice('\x65', 0, 7, 1, 0), unit));
    CHECK(!Read(r, Slice('\x41', 8160, 5, 0, 0), unit));
    CHECK(!Read(r, Prefixed("\x41" + Bits(Ue(0) + Ue(5) + Ue(3) + "00000" "000000" "1")), unit));
    CHECK(Read(r, Slice('\x41', 8159, 5, 0, 0), unit) && !unit.startsPicture);
    // Strictly the next picture carries the next number; a frame missed is not taken.
    CHECK(!Read(r, Slice('\x41', 0, 5, 2, 40), unit));
    CHECK(Read(r, Slice('\x41', 0, 5, 2, 40), unit, false));

    // Orders counted on across the 6 bits' wrap; a picture nobody refers to does not move
    // the count's anchor; an IDR picture starts it again.
    struct Picture
    {
        char header;
        unsigned type, frameNum, pocLsb;
        long long order;
    } pictures[] = {{'\x41', 5, 1, 24, 24}, {'\x41', 5, 2, 48, 48}, {'\x01', 6, 3, 36, 36},
                    {'\x41', 5, 3, 8, 72}, {'\x65', 7, 0, 4, 4}};
    for (const Picture& p : pictures) {
        CHECK(Read(r, Slice(p.header, 0, p.type, p.frameNum, p.pocLsb), unit));
        CHECK_EQ(unit.reference, p.header != '\x01');
        CHECK_EQ(r.TakePicture(unit), p.order);
    }

    // Fields of one frame go in one sample: the other parity, the same number.
    NalUnitReader pal(VideoCodec::H264, 4);
    REQUIRE(Take(pal, SpsPal) && Take(pal, Pps1));
    REQUIRE(Read(pal, PalField(3, false), unit));
    CHECK(unit.field && !unit.bottom);
    CHECK_EQ(unit.pocLsb, -1);
    pal.TakePicture(unit);
    CHECK(Read(pal, PalField(3, true), unit) && pal.SecondField(unit));
    CHECK(Read(pal, PalField(3, false), unit) && !pal.SecondField(unit));
    CHECK(Read(pal, PalField(4, true), unit, false) && !pal.SecondField(unit));
}

TEST_CASE(hevc_parameter_sets_and_slices)
{
    // x265's 640x360 at 25 frames a second, its parameter sets in an hvcC box with an SEI
    // array (passed by), then slices' first bytes: IDR, trailing, CRA, trailing.
    const std::string sets[] = {Hex("40010c01ffff0408000003009e0800000300003f928090"),
                                Hex("4201010408000003009e0800000300003f9000a0402d2cb2549265780b7020200040000003004000000642"),
                                Hex("4401c172860c4624"), Hex("4e0105ffff")};
    std::string hvcc = std::string(22, '\x01') + "\x04";
    for (const std::string& s : sets)
        hvcc += std::string(1, static_cast<char>((s[0] >> 1) & 0x3F)) + std::string("\0\1", 2) + Prefixed(s, 2);
    NalUnitReader r(VideoCodec::Hevc, 4);
    REQUIRE(r.TakeDecoderConfig(hvcc));
    CHECK_EQ(r.RawParameterSets().size(), 3u);
    CHECK_EQ(r.Width(), 640);
    CHECK_EQ(r.Height(), 360);
    CHECK_EQ(r.TimeScale(), 25u);
    CHECK_EQ(r.FrameTicks(), 1u);

    struct Coded
    {
        const char* hex;
        int type;
        bool key;
        long long order;
    } slices[] = {{"2801af1d30ab62b0", 20, true, 0}, {"0201d0097e10c63a", 1, false, 1},
                  {"2a01ac144d5c50c2", 21, true, 5}, {"0201d0317e10c63a", 1, false, 6}};
    NalUnit unit;
    for (const Coded& s : slices) {
        REQUIRE(Read(r, Prefixed(Hex(s.hex)), unit));
        CHECK_EQ(unit.type, s.type);
        CHECK(unit.picture && unit.startsPicture && unit.reference);
        CHECK_EQ(unit.key, s.key);
        CHECK_EQ(r.TakePicture(unit), s.order);
    }
    // Sub-layer non-reference, leading and higher sub-layer pictures anchor no order count.
    for (const char* hex : {"0001d0097e", "1201d0097e", "0202d0097e"})
        CHECK(Read(r, Prefixed(Hex(hex)), unit) && !unit.reference);
    // A later slice of the picture; temporal id 0 (forbidden) and a second layer: none of this stream.
    CHECK(Read(r, Prefixed(Hex("020140")), unit) && !unit.startsPicture);
    CHECK(!Read(r, Prefixed(Hex("0200d0097e")), unit));
    CHECK(!Read(r, Prefixed(Hex("0209d0097e")), unit));
}
