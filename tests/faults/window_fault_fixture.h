// The window program on the headless backend, driven as an operator through faults: heads the
// test plays on a pty or simulated heads already in upgrade mode, message boxes answered as
// they come, and the checks every fault shares (no worker left, no false success).
#pragma once

#include <chrono>
#include <thread>

#include "outcome_table.h"
#include "played_head.h"
#include "port_holder.h"
#include "upgrade_window_fixture.h"

namespace faultwin {
// Every wait of the matrix is bounded; frames go out byte by byte, slowly under a sanitizer.
constexpr int kFrameMs = 20000;
constexpr int kOutcomeMs = 60000;
constexpr int kShortMs = uitest::kShortMs;
// How long an operator looks at "checksum error" before closing it.
constexpr int kOperatorThinkMs = 150;

inline std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> image) {
    image.resize(std::max<std::size_t>(1, (image.size() + 4095) / 4096) * 4096, 0xFF);
    return image;
}
}  // namespace faultwin

class WindowFaults : public UpgradeWindow {
  protected:
    void TearDown() override {
        const auto started = std::chrono::steady_clock::now();
        UpgradeWindow::TearDown();
        // Closing the window (answering its question) never takes long.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        m_played.clear();
    }

    // A pty head the test plays, behind COM`number`.
    PlayedHead& AddPlayedHead(PlayedHead::Script script = PlayedHead::HonestScript(),
                              bool answerCheck = true, int number = 1) {
        m_played.push_back(std::make_unique<PlayedHead>(std::move(script), answerCheck));
        std::filesystem::create_symlink(m_played.back()->PortPath(), PortLink(number));
        return *m_played.back();
    }

    // A simulated head that starts in upgrade mode, so the two-second switch is skipped.
    HeadSimulator& AddReadyHead(HeadSimOptions options = {}) {
        options.noCommand = true;
        return AddHead(options);
    }

    std::string ReceivedBySimulator() const { return m_dir + "/received-1.bin"; }

    // The image chosen and the device dialog left with Esc: the head already listens.
    void ChooseWithoutSwitch(const std::string& path) {
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
        const auto dialog = m_desktop.WaitForPrompt(faultwin::kShortMs);
        ASSERT_TRUE(dialog && dialog->kind == HeadlessPrompt::Kind::FileDialog);
        ASSERT_TRUE(m_desktop.AnswerFileDialog(path));
        ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); },
                                        faultwin::kShortMs));
        ASSERT_TRUE(m_desktop.PressEscape(IDD_DEVICE));
        ASSERT_TRUE(m_desktop.WaitUntil([this] { return !m_desktop.IsOpen(IDD_DEVICE); },
                                        faultwin::kShortMs));
        // What the switch ends with, without its command and pauses: the port opened again and
        // the connection check offered.
        ASSERT_TRUE(m_desktop.PostTo(IDD_UPGRADE, WM_PORT_REOPEN, 0, 0));
        ASSERT_TRUE(
            m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_CONNECT); }, faultwin::kShortMs));
    }

    // Launch, choose, connection check and start.
    void StartUpgrade(const std::vector<std::uint8_t>& image) {
        Launch();
        ChooseWithoutSwitch(WriteImage(image, "firmware.bin"));
        Connect();
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    }

    // Answers message boxes as they come until one reads `final` (closed too); "checksum error"
    // is closed after a moment's thought, anything else is a failure.
    bool AnswerUntil(const std::string& final, int timeoutMs = faultwin::kOutcomeMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            auto prompt = m_desktop.WaitForPrompt(static_cast<int>(left.count()));
            if (!prompt) {
                ADD_FAILURE() << "no \"" << final << "\" within " << timeoutMs << " ms; "
                              << Messages();
                return false;
            }
            if (prompt->text == "校验错误") {
                std::this_thread::sleep_for(std::chrono::milliseconds(faultwin::kOperatorThinkMs));
                // Another message may have opened over it meanwhile: the newest is answered.
                prompt = m_desktop.OpenPrompt();
                if (!prompt) {
                    continue;
                }
            }
            EXPECT_TRUE(m_desktop.AnswerMessageBox(win::kIdOk));
            if (prompt->text == final) {
                return true;
            }
            if (prompt->text != "校验错误") {
                ADD_FAILURE() << "unexpected message \"" << prompt->text << "\"";
                return false;
            }
        }
    }

    // Every message shown so far, in order.
    std::string Messages() const {
        std::string joined;
        for (const auto& prompt : m_desktop.PromptHistory()) {
            if (prompt.kind == HeadlessPrompt::Kind::MessageBox) {
                joined += (joined.empty() ? "" : " / ") + prompt.text;
            }
        }
        return joined.empty() ? "no message" : joined;
    }

    // True when no transfer worker is left running, once the window thread is idle.
    bool WorkerGone() {
        EXPECT_TRUE(m_desktop.WaitIdle(faultwin::kShortMs));
        return UpgradeWindow::WorkerGone();
    }

    bool SuccessShown() const {
        const auto history = m_desktop.PromptHistory();
        return std::any_of(history.begin(), history.end(),
                           [](const HeadlessPrompt& p) { return p.text == "更新成功!"; });
    }

    // The loader's worst fault: "success" for an image the head did not get whole.
    void ExpectNoFalseSuccess(const std::vector<std::uint8_t>& received,
                              const std::vector<std::uint8_t>& image) {
        if (SuccessShown()) {
            EXPECT_TRUE(received == faultwin::Padded(image))
                << "success reported, but the head got " << received.size() << " bytes, "
                << "not the image's " << faultwin::Padded(image).size();
        }
    }

    // Buttons as the operator sees them.
    std::string Buttons() const {
        return std::string("port ") + (Text(IDC_BTN_PORT) == "关闭串口" ? "open" : "closed") +
               ", start " + (Enabled(IDC_BTN_START) ? "on" : "off") + ", connect " +
               (Enabled(IDC_BTN_CONNECT) ? "on" : "off");
    }

    void Record(const std::string& fault, const std::string& outcome) {
        faults::Record(fault, "window", outcome);
    }

    std::vector<std::unique_ptr<PlayedHead>> m_played;
};
