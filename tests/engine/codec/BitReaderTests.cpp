// The bit reader at the ends of its bytes: the last bits are read, nothing past them.

#include "TestKit.h"

#include "BitString.h"

#include "codec/BitReader.h"

#include <string>

TEST_CASE(bits_are_read_to_the_last_and_never_past_it)
{
    // The reader is given the first byte only: the 0xFF after it must never show.
    const uint8_t bytes[] = {0xB1, 0xFF};
    BitReader r(bytes, 1);
    CHECK_EQ(r.Read(7), 0x58u);
    CHECK_EQ(r.Bit(), 1u);
    CHECK(r.Ok());
    CHECK_EQ(r.Bit(), 0u);
    CHECK(!r.Ok());
    // A field that runs off the end: the bits there, zeros for the rest.
    BitReader across(bytes, 1);
    across.Read(4);
    CHECK_EQ(across.Read(8), 0x10u);
    CHECK(!across.Ok());
    // Skipping to the end exactly leaves the reader sound; one byte more does not.
    BitReader skip(bytes, 1);
    skip.SkipBytes(1);
    CHECK(skip.Ok());
    skip.SkipBytes(1);
    CHECK(!skip.Ok());
}

TEST_CASE(exp_golomb_codes_at_the_ends)
{
    // The longest code a field may hold: 31 zeros, then 32 bits. (The reader keeps a pointer
    // to its bytes: each string outlives its reader.)
    const std::string longest = Bits(Ue(0xFFFFFFFEull)), tooLongBits = Bits("0" + Ue(0xFFFFFFFEull));
    BitReader most(longest);
    CHECK_EQ(most.Ue(), 0xFFFFFFFEu);
    CHECK(most.Ok());
    BitReader most2(longest);
    CHECK_EQ(most2.Se(), -2147483647);
    // One zero more is no code at all.
    BitReader tooLong(tooLongBits);
    CHECK_EQ(tooLong.Ue(), 0u);
    CHECK(!tooLong.Ok());
    // A code whose ones are cut off by the end, and bytes of zeros only.
    const std::string cutBits = Bits("00000001"), zeroBytes(2, '\0'), lastBits = Bits("111111111" "0001000");
    BitReader cut(cutBits);
    cut.Ue();
    CHECK(!cut.Ok());
    BitReader zeros(zeroBytes);
    CHECK_EQ(zeros.Ue(), 0u);
    CHECK(!zeros.Ok());
    // The last code of a buffer, its last bit the buffer's last.
    BitReader last(lastBits);
    last.Read(9);
    CHECK_EQ(last.Ue(), 7u);
    CHECK(last.Ok());
}

TEST_CASE(emulation_prevention_bytes_are_taken_out)
{
    auto unescaped = [](const std::string& s, size_t limit) {
        return BitReader::Unescaped(reinterpret_cast<const uint8_t*>(s.data()), s.size(), limit);
    };
    // Only the 03 after two zeros goes: one that follows it is data.
    CHECK(unescaped(std::string("\x00\x00\x03\x03\x00\x00\x03\x01", 8), 100) == std::string("\x00\x00\x03\x00\x00\x01", 6));
    // The limit counts what comes out.
    CHECK(unescaped(std::string("\x00\x00\x03\x01\x02", 5), 3) == std::string("\x00\x00\x01", 3));
}
