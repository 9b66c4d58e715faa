#include "image_report.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <system_error>

#include "exit_status.h"
#include "head_answer.h"
#include "line_timing.h"
#include "pelco_command.h"
#include "upgrade_frame.h"
#include "utf8_io.h"

namespace {

// Calls `each(frame, cursor)` for every frame of a clean transfer; false when it does.
template <typename Each>
bool ForEachFrame(const ImageFile& image, Each each) {
    FrameBuffer frame{};
    const auto size = static_cast<std::int32_t>(image.size);
    for (FrameCursor cursor = FrameAt(0, size); cursor.role != FrameRole::Fill;
         cursor = FrameAfter(cursor, size)) {
        FillUpgradeFrame(image.bytes.data() + cursor.offset, cursor, frame);
        if (!each(frame, cursor)) {
            return false;
        }
    }
    return true;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        std::array<char, 4> piece{};
        std::snprintf(piece.data(), piece.size(), "%02X ", byte);
        text += piece.data();
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

}  // namespace

double WireSeconds(std::int64_t bytes, std::int32_t baudRate) {
    return std::chrono::duration<double>(line::WireTime(static_cast<std::size_t>(bytes), baudRate))
        .count();
}

int InspectImage(const ImageFile& image, const CliOptions& options, std::ostream& out) {
    out << "image " << options.image << ": " << image.size << " bytes, " << FrameCount(image.size)
        << " frames of " << frame::kSize << " bytes\n";
    out << "frame  load address  last  sum\n";
    ForEachFrame(image, [&](const FrameBuffer& frame, const FrameCursor& cursor) {
        std::array<char, 64> line{};
        std::snprintf(line.data(), line.size(), "%5lld  0x%08llx    %d     0x%06x\n",
                      static_cast<long long>(cursor.index),
                      static_cast<unsigned long long>(cursor.LoadAddress()),
                      frame[frame::kLastBlockAt], UpgradeFrameChecksum(frame));
        out << line.data();
        return true;
    });
    const std::int64_t bytes = AnnouncedTransferBytes(image.size);
    if (!options.noSwitch) {
        for (const std::uint8_t address : options.addresses) {
            out << "upgrade-mode command for head " << int{address} << " (" << options.protocolName
                << ", " << options.speed
                << " bit/s): " << HexBytes(BuildUpgradeModeCommand(address, options.protocolIndex))
                << "\n";
        }
    }
    std::array<char, 160> summary{};
    std::snprintf(summary.data(), summary.size(),
                  "transfer: %lld bytes of frames, %.1f s on the line at %d bit/s (8N1)\n",
                  static_cast<long long>(bytes), WireSeconds(bytes, kTransferBaudRate),
                  kTransferBaudRate);
    out << summary.data();
    return exit_status::kSuccess;
}

int EmitFrameStream(const ImageFile& image, const std::string& path, std::ostream& err) {
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> out(OpenUtf8File(path, "wb"));
    if (!out) {
        err << "ptz-upgrade: Failed to create '" << path
            << "': " << std::generic_category().message(errno) << "\n";
        return exit_status::kUsage;
    }
    std::string error;
    const bool ok = ForEachFrame(image, [&](const FrameBuffer& frame, const FrameCursor&) {
        if (std::fwrite(frame.data(), 1, frame.size(), out.get()) != frame.size()) {
            error = "Failed to write '" + path + "': " + std::generic_category().message(errno);
            return false;
        }
        return true;
    });
    if (ok && std::fclose(out.release()) != 0) {
        err << "ptz-upgrade: Failed to write '" << path << "'\n";
        return exit_status::kUsage;
    }
    if (!ok) {
        err << "ptz-upgrade: " << error << "\n";
        return exit_status::kUsage;  // the output could not be written; the image was read whole
    }
    return exit_status::kSuccess;
}
