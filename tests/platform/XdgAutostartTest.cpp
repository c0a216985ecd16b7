#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "adapters/files/XdgAutostart.h"
#include "platform/CaldrovexError.h"

using caldrovex::CaldrovexError;
using caldrovex::platform::XdgAutostart;
namespace fs = std::filesystem;

namespace {

class XdgAutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "caldrovex-autostart-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    std::string read(const fs::path& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path root;
};

TEST_F(XdgAutostartTest, OnWritesTheEntryAndOffRemovesIt) {
    const auto entry = root / "config" / "autostart" / "caldrovex-host.desktop";
    XdgAutostart autostart(entry, "/usr/bin/caldrovex-host");
    EXPECT_FALSE(autostart.enabled());
    autostart.setEnabled(true);
    EXPECT_TRUE(autostart.enabled());
    const std::string text = read(entry);
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExec=/usr/bin/caldrovex-host\n"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(entry.string() + ".tmp"));

    autostart.setEnabled(false);
    EXPECT_FALSE(autostart.enabled());
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_NO_THROW(autostart.setEnabled(false)) << "off when off already is no failure";
}

TEST_F(XdgAutostartTest, AnEntryMarkedHiddenIsOffUntilTurnedOn) {
    const auto entry = root / "caldrovex-host.desktop";
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=x\nHidden=true\n";
    XdgAutostart autostart(entry, "/opt/caldrovex/caldrovex-host");
    EXPECT_FALSE(autostart.enabled());
    autostart.setEnabled(true);
    EXPECT_TRUE(autostart.enabled());
}

TEST_F(XdgAutostartTest, AFolderThatCannotBeWrittenGivesASentenceAndChangesNothing) {
    if (::geteuid() == 0) {
        // Root writes anywhere; a path below a regular file fails for everyone.
        std::ofstream(root / "file") << "x";
        XdgAutostart autostart(root / "file" / "autostart" / "caldrovex-host.desktop", "/bin/x");
        EXPECT_THROW(autostart.setEnabled(true), CaldrovexError);
        EXPECT_FALSE(autostart.enabled());
        return;
    }
    fs::create_directories(root / "autostart");
    fs::permissions(root / "autostart", fs::perms::owner_read | fs::perms::owner_exec);
    XdgAutostart autostart(root / "autostart" / "caldrovex-host.desktop", "/bin/x");
    try {
        autostart.setEnabled(true);
        FAIL() << "no failure";
    } catch (const CaldrovexError& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with("The login entry ")) << error.what();
    }
    EXPECT_FALSE(autostart.enabled());
}

TEST(XdgAutostart, ExecArgumentIsQuotedAsTheDesktopEntryRulesAsk) {
    struct Case {
        const char* program;
        const char* exec;
    };
    const Case cases[] = {
        {"/usr/bin/caldrovex-host", "/usr/bin/caldrovex-host"},
        {"/home/ada/My Apps/caldrovex-host", "\"/home/ada/My Apps/caldrovex-host\""},
        {"/opt/100%/host", "/opt/100%%/host"},
        {"/opt/a$b/host", "\"/opt/a\\\\$b/host\""},
        {"/opt/a\\b/host", "\"/opt/a\\\\\\\\b/host\""},
    };
    for (const auto& c : cases) EXPECT_EQ(XdgAutostart::execArgument(c.program), c.exec);
}

}  // namespace
