// One port, one name: the spellings of a port that must group into one bus (and those that must
// not), and the hold that keeps a bus's port from everyone else between its openings.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>

#include <filesystem>
#include <regex>

#include "port_identity.h"
#include "pty_pair.h"
#include "serial_link.h"

namespace {

struct Spelling {
    const char* name;
    std::string a;
    std::string b;
    bool samePort;
    bool windows = false;  // compare as Windows names its devices
};

void PrintTo(const Spelling& s, std::ostream* out) {
    *out << s.name;
}

class PortSpellings : public ::testing::TestWithParam<Spelling> {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ptz-spelling-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        std::filesystem::create_symlink(m_pty.Path(), m_dir + "/by-id");
        std::filesystem::create_symlink(m_dir + "/by-id", m_dir + "/by-path");
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // {pty}, {other} (a second pty) and {dir} put in their places.
    std::string Place(const std::string& text) const {
        std::string placed = std::regex_replace(text, std::regex("\\{pty\\}"), m_pty.Path());
        placed = std::regex_replace(placed, std::regex("\\{other\\}"), m_other.Path());
        return std::regex_replace(placed, std::regex("\\{dir\\}"), m_dir);
    }

    PtyPair m_pty;
    PtyPair m_other;
    std::string m_dir;
};

TEST_P(PortSpellings, NameOnePortOnce) {
    const Spelling& s = GetParam();
    const std::string a = Place(s.a);
    const std::string b = Place(s.b);
    const std::string nameA = s.windows ? WindowsDeviceName(a) : CanonicalPortName(a);
    const std::string nameB = s.windows ? WindowsDeviceName(b) : CanonicalPortName(b);
    EXPECT_EQ(nameA == nameB, s.samePort) << nameA << " / " << nameB;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortSpellings,
    ::testing::Values(Spelling{"SymlinkAndTarget", "{dir}/by-id", "{pty}", true},
                      Spelling{"LinkToALink", "{dir}/by-path", "{pty}", true},
                      Spelling{"TwoPtys", "{dir}/by-id", "{other}", false},
                      Spelling{"Rfc2217CaseAndZeros", "RFC2217://Serial-Host:1",
                               "rfc2217://serial-host:00001", true},
                      Spelling{"Ipv6Case", "rfc2217://[FD00::5]:4001", "rfc2217://[fd00::5]:4001",
                               true},
                      Spelling{"RawAndRfc2217", "socket://h:4001", "rfc2217://h:4001", false},
                      Spelling{"OtherTcpPort", "rfc2217://h:4001", "rfc2217://h:4002", false},
                      Spelling{"ComPrefix", "COM3", R"(\\.\COM3)", true, true},
                      Spelling{"ComCase", "com3", "COM3", true, true},
                      Spelling{"ComSlashes", "//./com3", R"(\\?\COM3)", true, true},
                      Spelling{"ComNumbers", "COM3", "COM13", false, true},
                      Spelling{"OtherDevice", R"(\\.\cnca0)", "CNCA0", true, true}),
    [](const ::testing::TestParamInfo<Spelling>& info) { return info.param.name; });

// True when a program of its own, locking the port as ours do, would be refused.
bool LockedAgainstOthers(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return true;  // exclusive mode (TIOCEXCL) while an opening uses it
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return locked;
}

TEST(PortHold, KeepsTheBusPortFromOthersBetweenItsOwnOpenings) {
    PtyPair pty;
    std::string error;
    {
        CPortHold hold;
        ASSERT_TRUE(hold.Take(pty.Path(), error)) << error;
        CPortHold secondBus;
        EXPECT_FALSE(secondBus.Take(pty.Path(), error));
        EXPECT_NE(error.find("another bus of this run has the port"), std::string::npos) << error;
        EXPECT_TRUE(LockedAgainstOthers(pty.Path()));

        CSerialLink link;
        link.SetParams(pty.Path(), 115200, 8, 0, 0);
        for (int opening = 0; opening < 2; ++opening) {
            const PortHandle handle = link.Open();
            ASSERT_NE(handle, kInvalidPortHandle) << link.LastError().message;
            CSerialLink other;
            other.SetParams(pty.Path(), 115200, 8, 0, 0);
            EXPECT_EQ(other.Open(), kInvalidPortHandle) << "one opening of a held port at a time";
            link.Close(handle);
            // The closed pause after the upgrade-mode command.
            EXPECT_TRUE(LockedAgainstOthers(pty.Path()));
        }
    }
    EXPECT_FALSE(LockedAgainstOthers(pty.Path())) << "the hold ends with the bus";
}

}  // namespace
