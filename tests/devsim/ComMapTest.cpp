// The COM map: that it is where the console looks, what the simulator may replace, and that it
// cleans up after itself.
#include "ComMap.h"
#include "ConfigHome.h"
#include "PtyDevice.h"
#include "VaDeviceInfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

using namespace devsim;
namespace fs = std::filesystem;

namespace {

std::string LinkText(const std::string& Path) {
    std::error_code ec;
    return fs::read_symlink(Path, ec).string();
}

// An environment variable set for the life of the object, then put back as it was.
class TScopedEnv {
public:
    TScopedEnv(const char* Name, const char* Value) : m_name(Name) {
        if (const char* old = std::getenv(Name))
            m_old = old;
        ::setenv(Name, Value, 1);
    }
    ~TScopedEnv() {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

} // namespace

TEST(DevSimComMap, PublishesWhereTheConsoleLooksWhenXdgConfigHomeIsRelative) {
    TConfigHome dir;
    TPtyDevice pty; // held open, so /dev/pts/N exists
    TScopedEnv home("HOME", dir.Dir().c_str());
    TScopedEnv xdg("XDG_CONFIG_HOME", "cfg");
    // Run inside the private folder, so that a folder made under the relative name is
    // cleaned up with it.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.Dir());
    {
        std::string error;
        auto e = TComEntry::Publish(7, pty.SlavePath(), error);
        EXPECT_TRUE(e) << error; // no ASSERT: the working folder is put back below
        // The console's own words for COM7, from the resolver its open uses.
        if (e) {
            EXPECT_EQ(VaDescribeComPort(7), e->Path() + " \u2192 " + pty.SlavePath());
        }
    }
    fs::current_path(cwd);
}

TEST(DevSimComMap, RefusesEverythingButPseudoTerminalsAndDanglingLinks) {
    using T = TComEntryState::TType;
    auto link = [](std::string target, bool exists, std::string resolved, bool chr) {
        TComEntryState s;
        s.Type = T::Symlink;
        s.LinkTarget = std::move(target);
        s.TargetExists = exists;
        s.Resolved = std::move(resolved);
        s.ResolvedIsCharDevice = chr;
        return s;
    };
    TComEntryState missing, other;
    other.Type = T::Other;
    struct TCase {
        const char* What;
        TComEntryState State;
        const char* Refusal; // nullptr: allowed; else a part of the text
    };
    const TCase cases[] = {
        {"nothing there", missing, nullptr},
        {"dangling link", link("/dev/pts/9", false, "", false), nullptr},
        {"a pty", link("/dev/pts/3", true, "/dev/pts/3", true), nullptr},
        {"a pty by another name", link("../pty", true, "/dev/pts/12", true), nullptr},
        {"a USB adapter", link("/dev/ttyUSB0", true, "/dev/ttyUSB0", true), "/dev/ttyUSB0"},
        {"a by-id name", link("/dev/serial/by-id/usb-FTDI", true, "/dev/ttyUSB1", true),
         "/dev/serial/by-id/usb-FTDI (/dev/ttyUSB1)"},
        {"a built-in port", link("/dev/ttyS0", true, "/dev/ttyS0", true), "/dev/ttyS0"},
        {"the pty multiplexer", link("/dev/pts/ptmx", true, "/dev/pts/ptmx", true), "ptmx"},
        {"a plain file", link("/tmp/x", true, "/tmp/x", false), "/tmp/x"},
        {"a file or folder, not a link", other, "not a symbolic link"},
    };
    for (const TCase& c : cases) {
        const auto r = RefuseComEntry("/cfg/COM1", c.State);
        if (!c.Refusal) {
            EXPECT_FALSE(r) << c.What << ": " << r.value_or("");
            continue;
        }
        ASSERT_TRUE(r) << c.What;
        EXPECT_NE(r->find("refusing to replace /cfg/COM1"), std::string::npos) << *r;
        EXPECT_NE(r->find(c.Refusal), std::string::npos) << c.What << ": " << *r;
    }
}

TEST(DevSimComMap, ProbeSeesWhatIsOnDisk) {
    TConfigHome dir;
    TPtyDevice pty; // held open, so /dev/pts/N exists
    const std::string p = dir.Dir() + "/COM1";
    EXPECT_EQ(ProbeComEntry(p).Type, TComEntryState::TType::Missing);
    fs::create_symlink(pty.SlavePath(), p);
    TComEntryState s = ProbeComEntry(p);
    EXPECT_EQ(s.Type, TComEntryState::TType::Symlink);
    EXPECT_TRUE(s.TargetExists);
    EXPECT_TRUE(s.ResolvedIsCharDevice);
    EXPECT_EQ(s.Resolved, pty.SlavePath());
    EXPECT_FALSE(RefuseComEntry(p, s));
    fs::remove(p);
    fs::create_symlink("/dev/null", p);
    EXPECT_TRUE(RefuseComEntry(p, ProbeComEntry(p)));
}

TEST(DevSimComMap, PublishesAndRemovesItsLink) {
    TConfigHome dir;
    TPtyDevice pty; // held open, so /dev/pts/N exists
    const std::string folder = dir.Dir() + "/cfg/tevro-console/com";
    std::string error;
    {
        auto e = TComEntry::PublishIn(folder, 3, pty.SlavePath(), error);
        ASSERT_TRUE(e) << error;
        EXPECT_EQ(e->Path(), folder + "/COM3");
        EXPECT_EQ(LinkText(folder + "/COM3"), pty.SlavePath());
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder + "/COM3")));
    // Nothing else is left in the folder either (no temporary link).
    EXPECT_TRUE(fs::is_empty(folder));
}

TEST(DevSimComMap, ReplacesDanglingAndPtyLinks) {
    TConfigHome dir;
    TPtyDevice old, mine;
    const std::string p = dir.Dir() + "/COM1";
    std::string error;
    fs::create_symlink("/dev/pts/999999", p);
    {
        auto e = TComEntry::PublishIn(dir.Dir(), 1, mine.SlavePath(), error);
        ASSERT_TRUE(e) << error;
        EXPECT_EQ(LinkText(p), mine.SlavePath());
    }
    fs::create_symlink(old.SlavePath(), p);
    auto e = TComEntry::PublishIn(dir.Dir(), 1, mine.SlavePath(), error);
    ASSERT_TRUE(e) << error;
    EXPECT_EQ(LinkText(p), mine.SlavePath());
}

TEST(DevSimComMap, LeavesARealDeviceEntryAlone) {
    TConfigHome dir;
    TPtyDevice mine;
    const std::string p = dir.Dir() + "/COM1";
    fs::create_symlink("/dev/null", p);
    std::string error;
    EXPECT_FALSE(TComEntry::PublishIn(dir.Dir(), 1, mine.SlavePath(), error));
    EXPECT_NE(error.find("refusing to replace " + p), std::string::npos) << error;
    EXPECT_NE(error.find("/dev/null"), std::string::npos) << error;
    EXPECT_EQ(LinkText(p), "/dev/null");

    const std::string file = dir.Dir() + "/COM2";
    std::ofstream(file) << "mine";
    error.clear();
    EXPECT_FALSE(TComEntry::PublishIn(dir.Dir(), 2, mine.SlavePath(), error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
}

TEST(DevSimComMap, DoesNotRemoveALinkSomeoneElsePutThere) {
    TConfigHome dir;
    TPtyDevice mine, theirs;
    const std::string p = dir.Dir() + "/COM1";
    std::string error;
    auto e = TComEntry::PublishIn(dir.Dir(), 1, mine.SlavePath(), error);
    ASSERT_TRUE(e) << error;
    fs::remove(p);
    fs::create_symlink(theirs.SlavePath(), p);
    e.reset();
    EXPECT_EQ(LinkText(p), theirs.SlavePath());
}
