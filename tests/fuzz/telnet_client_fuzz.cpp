// What a network serial server sends, through the Telnet decoder and the RFC 2217 client: the
// same data, commands, replies and state whatever pieces the stream arrives in; data never more
// than the stream, replies a bounded set of well-formed option answers; and whatever the loader
// itself encodes decodes back to exactly that.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "rfc2217_client.h"
#include "telnet_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Feeds `stream` to `feed` in the pieces `cuts` make.
template <typename Feed>
void InPieces(const Bytes& stream, const std::vector<std::size_t>& cuts, Feed feed) {
    std::size_t from = 0;
    for (const std::size_t to : cuts) {
        feed(stream.data() + from, to - from);
        from = to;
    }
}

bool SameCommands(const std::vector<TelnetCommand>& a, const std::vector<TelnetCommand>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.verb == y.verb && x.option == y.option && x.payload == y.payload;
    });
}

void CheckDecoder(const Bytes& stream, const std::vector<std::size_t>& cuts) {
    CTelnetDecoder whole;
    Bytes wholeData;
    std::vector<TelnetCommand> wholeCommands;
    whole.Feed(stream.data(), stream.size(), wholeData, wholeCommands);

    CTelnetDecoder cut;
    Bytes cutData;
    std::vector<TelnetCommand> cutCommands;
    InPieces(stream, cuts, [&](const std::uint8_t* bytes, std::size_t length) {
        cut.Feed(bytes, length, cutData, cutCommands);
    });
    FuzzRequire(cutData == wholeData, "decoder: the same data whatever the pieces");
    FuzzRequire(SameCommands(cutCommands, wholeCommands),
                "decoder: the same commands whatever the pieces");
    FuzzRequire(cut.CommandsSeen() == whole.CommandsSeen() && cut.Overlong() == whole.Overlong(),
                "decoder: the same counts whatever the pieces");
    FuzzRequire(wholeData.size() <= stream.size(), "decoder: no more data than bytes");
    // Every command takes two bytes at least, so the count bounds whatever was not data.
    FuzzRequire(
        whole.CommandsSeen() <= stream.size() / 2 && wholeCommands.size() <= whole.CommandsSeen(),
        "decoder: commands counted, two bytes each at least");
    for (const TelnetCommand& command : wholeCommands) {
        FuzzRequire(command.payload.size() <= CTelnetDecoder::kMaxPayload,
                    "decoder: a subnegotiation is cut at its limit");
    }
}

void CheckClient(const Bytes& stream, const std::vector<std::size_t>& cuts) {
    CRfc2217Client whole;
    (void)whole.Start();
    Bytes wholeData;
    Bytes wholeReplies;
    whole.Feed(stream.data(), stream.size(), wholeData, wholeReplies);

    CRfc2217Client cut;
    (void)cut.Start();
    Bytes cutData;
    Bytes cutReplies;
    InPieces(stream, cuts, [&](const std::uint8_t* bytes, std::size_t length) {
        cut.Feed(bytes, length, cutData, cutReplies);
    });
    FuzzRequire(cutData == wholeData && cutReplies == wholeReplies,
                "client: the same data and replies whatever the pieces");
    FuzzRequire(cut.Negotiated() == whole.Negotiated() && cut.Refusal() == whole.Refusal() &&
                    cut.MissingOptions() == whole.MissingOptions(),
                "client: the same negotiation whatever the pieces");
    for (int code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        FuzzRequire(cut.Acknowledged(c) == whole.Acknowledged(c),
                    "client: the same acknowledgements whatever the pieces");
    }
    FuzzRequire(wholeData.size() <= stream.size(), "client: no more data than bytes");
    // Each request is answered once: one of WILL/WONT and one of DO/DONT per option at most.
    FuzzRequire(wholeReplies.size() <= stream.size() && wholeReplies.size() <= 3 * 2 * 256,
                "client: replies bounded");
    for (std::size_t at = 0; at < wholeReplies.size(); at += 3) {
        FuzzRequire(at + 3 <= wholeReplies.size() && wholeReplies[at] == telnet::kIac &&
                        wholeReplies[at + 1] >= telnet::kWill &&
                        wholeReplies[at + 1] <= telnet::kDont,
                    "client: replies are whole option answers");
    }
}

// What the loader sends comes back exactly: escaped data as data, a setting as one command.
void CheckRoundTrip(const Bytes& bytes) {
    Bytes encoded;
    AppendTelnetData(bytes.data(), bytes.size(), encoded);
    CTelnetDecoder decoder;
    Bytes data;
    std::vector<TelnetCommand> commands;
    decoder.Feed(encoded.data(), encoded.size(), data, commands);
    FuzzRequire(data == bytes && commands.empty(), "escaped data decodes to itself");

    const std::uint8_t code = bytes.empty() ? 0 : bytes[0];
    const Bytes value(bytes.begin() + std::min<std::size_t>(bytes.size(), 1),
                      bytes.begin() + std::min(bytes.size(), CTelnetDecoder::kMaxPayload));
    const Bytes command = ComPortCommand(code, value);
    data.clear();
    decoder.Feed(command.data(), command.size(), data, commands);
    Bytes payload{code};
    payload.insert(payload.end(), value.begin(), value.end());
    FuzzRequire(data.empty() && commands.size() == 1 && commands[0].verb == telnet::kSb &&
                    commands[0].option == telnet::kOptionComPort &&
                    commands[0].payload == payload && !decoder.Overlong(),
                "a setting decodes to one subnegotiation");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t cutCount = input.ConsumeIntegralInRange<std::size_t>(0, 7);
    std::vector<std::uint16_t> cutAt(cutCount);
    for (std::uint16_t& at : cutAt) {
        at = input.ConsumeIntegral<std::uint16_t>();
    }
    const Bytes stream = input.ConsumeRemainingBytes<std::uint8_t>();
    std::vector<std::size_t> cuts;
    for (const std::uint16_t at : cutAt) {
        cuts.push_back(at % (stream.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(stream.size());
    CheckDecoder(stream, cuts);
    CheckClient(stream, cuts);
    CheckRoundTrip(stream);
    return 0;
}
