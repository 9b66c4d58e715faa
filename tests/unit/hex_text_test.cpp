#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "hex_text.h"
#include "serial_link.h"

namespace {

std::vector<std::uint8_t> Decode(const std::string& text, std::size_t capacity = 4096) {
    std::vector<std::uint8_t> out(capacity, 0xEE);
    out.resize(CSerialLink::DecodeHexText(text, out.data(), out.size()));
    return out;
}

using Bytes = std::vector<std::uint8_t>;

TEST(HexDigitValue, AcceptsBothCasesAndRejectsEverythingElse) {
    EXPECT_EQ(CSerialLink::HexDigitValue('0'), 0);
    EXPECT_EQ(CSerialLink::HexDigitValue('9'), 9);
    EXPECT_EQ(CSerialLink::HexDigitValue('a'), 10);
    EXPECT_EQ(CSerialLink::HexDigitValue('F'), 15);
    for (const char ch : {'g', 'G', ' ', '\t', '/', ':', '@', '`', '\0', '\x80', '\xff'}) {
        EXPECT_EQ(CSerialLink::HexDigitValue(ch), 0xFF) << static_cast<int>(ch);
    }
}

TEST(DecodeHexText, ConnectionCheckTextGivesTwoBytes) {
    EXPECT_EQ(Decode(FormatBytePairText(0x3F, 0x3F)), (Bytes{0x3F, 0x3F}));
}

TEST(DecodeHexText, SkipsAnyRunOfBlanksCarriageReturnsAndLineFeedsBetweenPairs) {
    EXPECT_EQ(Decode("  01 \r\n\r\n 02\n\n\n03   "), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(Decode("0a0B"), (Bytes{0x0A, 0x0B}));
}

TEST(DecodeHexText, DropsALoneFinalDigit) {
    EXPECT_EQ(Decode("abc"), (Bytes{0xAB}));
    EXPECT_EQ(Decode("7"), Bytes{});
    EXPECT_EQ(Decode(""), Bytes{});
}

TEST(DecodeHexText, StopsAtTheFirstBadPairKeepingWhatCameBefore) {
    EXPECT_EQ(Decode("12 4z 56"), (Bytes{0x12}));
    EXPECT_EQ(Decode("12 3 45"), (Bytes{0x12}));  // digits of a pair must be adjacent
    EXPECT_EQ(Decode("\t12"), Bytes{});           // a tab is not a separator
    EXPECT_EQ(Decode("12\t34"), (Bytes{0x12}));
}

TEST(DecodeHexText, NeverWritesPastTheOutputCapacity) {
    EXPECT_EQ(Decode("01 02 03 04", 2), (Bytes{0x01, 0x02}));
}

TEST(HexTextFormats, MatchTheirPrintfPatterns) {
    for (int value = 0; value < 256; ++value) {
        const auto byte = static_cast<std::uint8_t>(value);
        std::array<char, 16> expected{};
        std::snprintf(expected.data(), expected.size(), "%02x ", value);
        EXPECT_EQ(FormatFrameByteText(byte), expected.data());
        EXPECT_EQ(FormatLeadingByteText(byte), expected.data());
        std::snprintf(expected.data(), expected.size(), " %02x", value);
        EXPECT_EQ(FormatTrailingByteText(byte), expected.data());
        EXPECT_EQ(Decode(FormatFrameByteText(byte)), (Bytes{byte}));
    }
    EXPECT_EQ(FormatBytePairText(0x3F, 0x3F), "3f 3f");
}

}  // namespace
