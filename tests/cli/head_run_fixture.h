// What the end-to-end tests of ptz-upgrade share: a scratch folder, simulated heads started as
// real ptz-headsim processes (each with its link, received image and log), and the image the
// head must store.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "process_runner.h"

class HeadRunFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ptz-cli-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        m_heads.clear();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    // The image padded with 0xFF to whole blocks, as the head stores it.
    std::string PaddedImage() const {
        std::string padded = m_image;
        padded.resize((m_image.size() + 4095) / 4096 * 4096, '\xFF');
        return padded;
    }

    // Starts ptz-headsim; `n` names its link, --out and --log files.
    std::string StartHead(std::vector<std::string> args, int n = 0) {
        std::string link = Path("head" + std::to_string(n));
        std::vector<std::string> argv = {PTZ_HEADSIM_EXE,
                                         "--link",
                                         link,
                                         "--out",
                                         Path("out" + std::to_string(n) + ".bin"),
                                         "--log",
                                         Path("log" + std::to_string(n) + ".json")};
        argv.insert(argv.end(), args.begin(), args.end());
        m_heads.push_back(
            std::make_unique<ChildProcess>(argv, m_dir, "headsim" + std::to_string(n)));
        EXPECT_TRUE(m_heads.back()->WaitForOutput(link, 5000)) << "ptz-headsim did not start";
        return link;
    }
    std::string HeadOut(int n = 0) const {
        return ReadFileText(Path("out" + std::to_string(n) + ".bin"));
    }
    std::string HeadLog(int n = 0) const {
        return ReadFileText(Path("log" + std::to_string(n) + ".json"));
    }

    std::string m_dir;
    std::string m_image;
    std::vector<std::unique_ptr<ChildProcess>> m_heads;
};
