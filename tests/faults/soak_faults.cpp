#include "soak_faults.h"

namespace soak {

const char* EndName(End end) {
    switch (end) {
        case End::Success:
            return "success";
        case End::HeadFailed:
            return "head failed";
        case End::HeadTimedOut:
            return "head timed out";
        case End::NoAnswer:
            return "no answer";
        case End::PortGone:
            return "port gone";
        case End::NoConnection:
            return "no connection";
        case End::Other:
            return "other";
        case End::Hang:
            return "hang";
    }
    return "?";
}

namespace {
std::vector<std::uint8_t> RandomImage(std::mt19937& random, bool flowControlBytes) {
    static const std::size_t kSizes[] = {1, 4095, 4096, 4097, 8192, 2 * 4096 + 100, 3 * 4096};
    std::size_t size = kSizes[random() % (sizeof kSizes / sizeof kSizes[0])];
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = flowControlBytes && i % 3 == 0 ? (i % 2 == 0 ? 0x11 : 0x13)
                                                  : static_cast<std::uint8_t>(random());
    }
    return image;
}
}  // namespace

Draw DrawFault(std::mt19937& random) {
    const bool xonXoff = random() % 8 == 0;
    Draw draw{{}, RandomImage(random, xonXoff)};
    const int frames = static_cast<int>((draw.image.size() + 4095) / 4096);
    const std::string anyFrame = std::to_string(random() % frames);
    // A head silent after its last frame has answered 0x84: not silent at all.
    const std::string notLast = std::to_string(frames > 1 ? random() % (frames - 1) : 0);
    const std::string upgradeMode = "--no-command";
    const std::vector<End> success = {End::Success};
    switch (random() % 10) {
        case 0:
            draw.fault = {"none", {upgradeMode}, success, success, true};
            break;
        case 1:
            draw.fault = {"0x83 at frame " + anyFrame,
                          {upgradeMode, "--bad-sum-at", anyFrame},
                          success,
                          success,
                          true};
            break;
        case 2:
            draw.fault = {"0x81 at frame " + anyFrame,
                          {upgradeMode, "--answer-81-at", anyFrame},
                          success,
                          success,
                          true};
            break;
        case 3:
            // The window looks at the first byte of a chunk only: noise in front can hide an
            // answer (the connection check's too), and then the operator closes the port.
            draw.fault = {"noise before answers",
                          {upgradeMode, "--noise", "3"},
                          success,
                          {End::Success, End::NoAnswer, End::NoConnection},
                          false};
            break;
        case 4:
            draw.fault = {"answers 100 ms late",
                          {upgradeMode, "--answer-delay", "100"},
                          success,
                          success,
                          true};
            break;
        case 5:
            draw.fault = {"0x86 at frame " + anyFrame,
                          {upgradeMode, "--fail-at", anyFrame},
                          {End::HeadFailed},
                          {End::HeadFailed},
                          false};
            break;
        case 6:
            draw.fault = {"0x87 at frame " + anyFrame,
                          {upgradeMode, "--timeout-at", anyFrame},
                          {End::HeadTimedOut},
                          {End::HeadTimedOut},
                          false};
            break;
        case 7:
            if (frames > 1) {
                draw.fault = {"silent after frame " + notLast,
                              {upgradeMode, "--silent-after", notLast},
                              {End::NoAnswer},
                              {End::NoAnswer},
                              false};
                break;
            }
            [[fallthrough]];
        case 8:
            draw.fault = {"port vanishes in frame " + anyFrame,
                          {upgradeMode, "--vanish-at", anyFrame},
                          {End::PortGone},
                          {End::PortGone},
                          false};
            break;
        default:
            // Not in upgrade mode: the connection check goes unanswered.
            draw.fault = {
                "silent from the start", {}, {End::NoConnection}, {End::NoConnection}, false};
            break;
    }
    if (xonXoff) {
        draw.fault.name += ", XON/XOFF image";
    }
    return draw;
}

}  // namespace soak
