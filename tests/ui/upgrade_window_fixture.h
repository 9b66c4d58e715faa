// The main window on the headless backend, with COM1 .. COMn mapped to simulated heads or to
// ptys the test plays itself, and helpers that act as the operator does.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "head_simulator.h"
#include "pty_pair.h"
#include "resource.h"
#include "surface_headless.h"
#include "ui_texts.h"
#include "upgrade_dlg.h"

namespace uitest {
constexpr int kShortMs = 3000;
// A switch pauses four times for 500 ms; a sanitizer build is slower still.
constexpr int kSwitchMs = 20000;
constexpr int kTransferMs = 120000;
constexpr int kCloseMs = 10000;
// A frame of 4107 bytes needs 356.5 ms on the wire at 115200 bit/s; a head that has read it at
// the line's pace answers no sooner than this after its first byte was handed to the port.
constexpr int kFrameWireMs = 360;

inline std::vector<std::uint8_t> PatternImage(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 4096) & 0xFF);
    }
    return bytes;
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The test's pty head answers the frame it has just received whole, as a head reading at the
// line's pace would: once the frame has had its time on the wire. (Through the pty the frame
// arrives as soon as it is handed over.)
inline void AnswerFrame(const PtyPair& head, const std::vector<std::uint8_t>& answer) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kFrameWireMs));
    head.Send(answer);
}

struct Device {
    std::string address = "1";
    int protocol = 1;  // PELCO_D
    int speed = 0;     // 2400
};
}  // namespace uitest

class UpgradeWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ptz-ui-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ::setenv("PTZ_COM_PORTS_DIR", m_dir.c_str(), 1);
    }

    void TearDown() override {
        CloseWindow();
        m_heads.clear();
        m_ptys.clear();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::string PortLink(int number) const { return m_dir + "/com" + std::to_string(number); }

    // A simulated head behind COM`number`, reading at the line's pace unless told otherwise.
    HeadSimulator& AddHead(HeadSimOptions options, int number = 1) {
        options.linkPath = PortLink(number);
        if (options.paceBaud == 0) {
            options.paceBaud = 115200;
        }
        if (options.outPath.empty()) {
            options.outPath = m_dir + "/received-" + std::to_string(number) + ".bin";
        }
        m_heads.push_back(std::make_unique<HeadSimulator>(options));
        std::string error;
        EXPECT_TRUE(m_heads.back()->Start(error)) << error;
        return *m_heads.back();
    }

    // A pty behind COM`number` whose far end the test plays.
    PtyPair& AddPty(int number = 1) {
        m_ptys.push_back(std::make_unique<PtyPair>());
        std::filesystem::create_symlink(m_ptys.back()->Path(), PortLink(number));
        return *m_ptys.back();
    }

    std::string WriteImage(const std::vector<std::uint8_t>& bytes, const std::string& name) {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    void Launch() {
        m_dialog = std::make_unique<CUpgradeDlg>(m_desktop);
        m_desktop.Launch([this] { (void)m_dialog->DoModal(m_desktop); });
        ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_UPGRADE); },
                                        uitest::kShortMs));
        ASSERT_TRUE(m_desktop.WaitIdle(uitest::kShortMs));
    }

    // Closes the window, saying yes if it asks, and waits for the window thread to finish.
    void CloseWindow() {
        if (!m_dialog) {
            return;
        }
        EXPECT_TRUE(m_desktop.CloseEverything(uitest::kCloseMs)) << "the window did not close";
    }

    // Whether a transfer worker is recorded, and whether none is left running: read through
    // the window's lock, from the test's thread.
    bool WorkerRecorded() const { return m_dialog->RecordedWorker() != nullptr; }
    bool WorkerGone() const {
        const auto worker = m_dialog->RecordedWorker();
        return !worker || worker->Ended();
    }

    std::string Text(int id) const { return m_desktop.Text(IDD_UPGRADE, id); }
    bool Enabled(int id) const { return m_desktop.Enabled(IDD_UPGRADE, id); }
    bool Visible(int id) const { return m_desktop.Visible(IDD_UPGRADE, id); }

    // Waits for a message box, checks its text and closes it with OK.
    void ExpectMessage(const std::string& text, int timeoutMs = uitest::kShortMs) {
        const auto prompt = m_desktop.WaitForPrompt(timeoutMs);
        ASSERT_TRUE(prompt.has_value()) << "no message box; expected \"" << text << "\"";
        EXPECT_EQ(prompt->kind, HeadlessPrompt::Kind::MessageBox);
        EXPECT_EQ(prompt->text, text);
        ASSERT_TRUE(m_desktop.AnswerMessageBox(win::kIdOk));
    }

    void ExpectNoPrompt() {
        ASSERT_TRUE(m_desktop.WaitIdle(uitest::kShortMs));
        const auto prompt = m_desktop.OpenPrompt();
        EXPECT_FALSE(prompt.has_value()) << "unexpected message: " << prompt->text;
    }

    // The operator's way through image choice and the device dialog, up to the end of the switch.
    void ChooseImage(const std::string& path, const uitest::Device& device = {}) {
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
        const auto dialog = m_desktop.WaitForPrompt(uitest::kShortMs);
        ASSERT_TRUE(dialog && dialog->kind == HeadlessPrompt::Kind::FileDialog);
        EXPECT_EQ(dialog->text, "Bin File (*.bin)|*.bin|");
        ASSERT_TRUE(m_desktop.AnswerFileDialog(path));
        ASSERT_TRUE(
            m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); }, uitest::kShortMs));
        Launch(device);
    }

    void Launch(const uitest::Device& device) {
        ASSERT_TRUE(m_desktop.WaitIdle(uitest::kShortMs));
        ASSERT_TRUE(m_desktop.TypeText(IDD_DEVICE, IDC_EDIT_ADDRESS, device.address));
        ASSERT_TRUE(m_desktop.SelectListItem(IDD_DEVICE, IDC_COMBO_PROTOCOL, device.protocol));
        ASSERT_TRUE(m_desktop.SelectListItem(IDD_DEVICE, IDC_COMBO_SPEED, device.speed));
        ASSERT_TRUE(m_desktop.Click(IDD_DEVICE, IDC_BTN_LAUNCH));
        ASSERT_TRUE(m_desktop.WaitUntil([this] { return !m_desktop.IsOpen(IDD_DEVICE); },
                                        uitest::kSwitchMs));
        ASSERT_TRUE(m_desktop.WaitIdle(uitest::kShortMs));
    }

    void Connect() {
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_CONNECT));
        ASSERT_TRUE(m_desktop.WaitUntil(
            [this] {
                return Text(IDC_BTN_CONNECT) == "连接成功" && Enabled(IDC_BTN_START) &&
                       !Enabled(IDC_BTN_CONNECT);
            },
            uitest::kShortMs));
    }

    std::string m_dir;
    std::vector<std::unique_ptr<HeadSimulator>> m_heads;
    std::vector<std::unique_ptr<PtyPair>> m_ptys;
    std::unique_ptr<CUpgradeDlg> m_dialog;
    CHeadlessDesktop m_desktop;
};
