#include "head_line.h"

#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

Bytes HandFrame(const Bytes& image, std::size_t block, bool last) {
    const std::uint32_t address = 0x00020000U + static_cast<std::uint32_t>(block * 4096);
    Bytes frame = {0x73,
                   static_cast<std::uint8_t>(last ? 1 : 0),
                   static_cast<std::uint8_t>(address >> 24U),
                   static_cast<std::uint8_t>(address >> 16U),
                   static_cast<std::uint8_t>(address >> 8U),
                   static_cast<std::uint8_t>(address),
                   0x10,
                   0x00};
    for (std::size_t i = 0; i < 4096; ++i) {
        const std::size_t at = block * 4096 + i;
        frame.push_back(at < image.size() ? image[at] : 0xFF);
    }
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < frame.size(); ++i) {
        sum += frame[i];
    }
    frame.push_back(static_cast<std::uint8_t>(sum >> 16U));
    frame.push_back(static_cast<std::uint8_t>(sum >> 8U));
    frame.push_back(static_cast<std::uint8_t>(sum));
    return frame;
}

Bytes ImageOf(std::size_t size, std::uint8_t seed) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + seed);
    }
    return image;
}

Bytes Padded(Bytes image) {
    image.resize((image.size() + 4095) / 4096 * 4096, 0xFF);
    return image;
}

std::vector<std::pair<std::string, std::string>> ParseFlatJson(const std::string& line) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
    };
    auto readString = [&](std::string& out) {
        if (i >= line.size() || line[i] != '"') {
            return false;
        }
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\') {
                ++i;
            }
            out += line[i];
        }
        return i++ < line.size();
    };
    if (line.empty() || line.front() != '{' || line.back() != '}') {
        return {};
    }
    i = 1;
    while (i < line.size() - 1) {
        std::string key;
        std::string value;
        skipBlanks();
        if (!readString(key) || i >= line.size() || line[i++] != ':') {
            return {};
        }
        if (line[i] == '"') {
            if (!readString(value)) {
                return {};
            }
        } else {
            while (i < line.size() - 1 && line[i] != ',') {
                value += line[i++];
            }
            const bool literal = value == "true" || value == "false";
            char* end = nullptr;
            std::strtod(value.c_str(), &end);
            if (value.empty() || (!literal && *end != '\0')) {
                return {};
            }
        }
        fields.emplace_back(key, value);
        if (line[i] == ',') {
            ++i;
        }
    }
    return fields;
}

void HeadLine::SetUp() {
    std::string pattern = ::testing::TempDir() + "headsim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
    m_logPath = m_dir + "/log.jsonl";
    m_outPath = m_dir + "/out.bin";
}

void HeadLine::TearDown() {
    ClosePort();
    m_sim.reset();
    std::remove(m_logPath.c_str());
    std::remove(m_outPath.c_str());
    rmdir(m_dir.c_str());
}

void HeadLine::Start(HeadSimOptions options) {
    options.logPath = m_logPath;
    options.outPath = m_outPath;
    m_sim = std::make_unique<HeadSimulator>(options);
    std::string error;
    ASSERT_TRUE(m_sim->Start(error)) << error;
    OpenPort();
}

void HeadLine::OpenPort() {
    m_fd = open(m_sim->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(m_fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(m_fd, &tio), 0);
    cfmakeraw(&tio);
    ASSERT_EQ(tcsetattr(m_fd, TCSANOW, &tio), 0);
}

void HeadLine::ClosePort() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void HeadLine::SetSpeed(speed_t speed) {
    termios tio{};
    ASSERT_EQ(tcgetattr(m_fd, &tio), 0);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    ASSERT_EQ(tcsetattr(m_fd, TCSANOW, &tio), 0);
}

void HeadLine::Send(const Bytes& bytes, const std::vector<std::size_t>& pieces) {
    std::size_t at = 0;
    std::size_t piece = 0;
    while (at < bytes.size()) {
        std::size_t n = pieces.empty() ? bytes.size() - at : pieces[piece++ % pieces.size()];
        n = std::min(n, bytes.size() - at);
        const ssize_t written = write(m_fd, bytes.data() + at, n);
        if (written < 0 && errno == EAGAIN) {
            pollfd pfd{m_fd, POLLOUT, 0};
            poll(&pfd, 1, 1000);
            continue;
        }
        ASSERT_GT(written, 0) << "write failed: errno " << errno;
        at += static_cast<std::size_t>(written);
    }
}

Bytes HeadLine::Receive(std::size_t count, int timeoutMs) {
    Bytes received;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              limit - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            break;
        }
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        std::uint8_t buffer[256];
        const ssize_t n = read(m_fd, buffer, std::min(sizeof buffer, count - received.size()));
        if (n <= 0) {
            break;
        }
        received.insert(received.end(), buffer, buffer + n);
    }
    return received;
}

bool HeadLine::WaitForSummary(const std::function<bool(const HeadSimSummary&)>& done,
                              int timeoutMs) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(m_sim->Summary())) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void HeadLine::Connect(const Bytes& command) {
    SetSpeed(B2400);
    const int accepted = m_sim->Summary().commandsAccepted;
    Send(command);
    // The command must be heard at 2400 before the line changes speed, as a real loader pauses.
    ASSERT_TRUE(WaitForSummary(
        [accepted](const HeadSimSummary& s) { return s.commandsAccepted > accepted; }));
    SetSpeed(B115200);
    Send({0x3F, 0x3F});
    ASSERT_EQ(Receive(1), Bytes{0x80});
}

Bytes HeadLine::Upload(const Bytes& image) {
    Bytes answers;
    const std::size_t blocks = std::max<std::size_t>(1, (image.size() + 4095) / 4096);
    for (std::size_t b = 0; b < blocks; ++b) {
        Send(HandFrame(image, b, b + 1 == blocks));
        const Bytes answer = Receive(1);
        if (answer.empty()) {
            break;
        }
        answers.push_back(answer[0]);
        if (answer[0] != 0x82) {
            break;
        }
    }
    return answers;
}

std::vector<std::string> HeadLine::LogEvents() const {
    std::vector<std::string> events;
    std::istringstream lines(ReadFile(m_logPath));
    for (std::string line; std::getline(lines, line);) {
        for (const auto& [key, value] : ParseFlatJson(line)) {
            if (key == "event") {
                events.push_back(value);
            }
        }
    }
    return events;
}

std::string HeadLine::ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
