// DecodeHexText on arbitrary text and capacity: it never writes past the capacity, never yields
// more bytes than the text has pairs, and gives back every byte the formatters wrote.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "hex_text.h"
#include "serial_link.h"

namespace {

void CheckArbitraryText(const std::string& text, std::size_t capacity) {
    // Exactly `capacity` bytes on the heap, so that AddressSanitizer sees a write past them.
    const auto out = std::make_unique<std::uint8_t[]>(capacity + 1);
    const std::size_t stored = CSerialLink::DecodeHexText(text, out.get(), capacity);
    FuzzRequire(stored <= capacity, "decoded bytes within the capacity");
    FuzzRequire(stored <= text.size() / 2, "at most one byte per two characters");
}

std::vector<std::uint8_t> Decoded(const std::string& text, std::size_t capacity) {
    std::vector<std::uint8_t> bytes(capacity);
    bytes.resize(CSerialLink::DecodeHexText(text, bytes.data(), bytes.size()));
    return bytes;
}

// Every way the program writes bytes as text decodes back to those bytes.
void CheckRoundTrip(const std::vector<std::uint8_t>& bytes) {
    std::string frameText;
    std::string commandText;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        frameText += FormatFrameByteText(bytes[i]);
        commandText += i == 0 ? FormatLeadingByteText(bytes[i]) : FormatTrailingByteText(bytes[i]);
    }
    FuzzRequire(Decoded(frameText, bytes.size()) == bytes, "frame text round trip");
    FuzzRequire(Decoded(commandText, bytes.size()) == bytes, "command text round trip");
    // A capacity short of the bytes keeps the leading ones.
    const std::size_t shorter = bytes.size() / 2;
    FuzzRequire(Decoded(frameText, shorter) ==
                    std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + shorter),
                "a small capacity keeps the leading bytes");
    if (bytes.size() >= 2) {
        FuzzRequire(Decoded(FormatBytePairText(bytes[0], bytes[1]), 2) ==
                        std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 2),
                    "byte pair round trip");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(0, 64);
    const std::string text = input.ConsumeRemainingBytesAsString();
    CheckArbitraryText(text, capacity);
    CheckRoundTrip(std::vector<std::uint8_t>(text.begin(), text.end()));
    return 0;
}
