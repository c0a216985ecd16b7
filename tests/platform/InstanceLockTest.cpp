#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/CaldrovexError.h"
#include "platform/InstanceLock.h"

using caldrovex::CaldrovexError;
using caldrovex::platform::InstanceLock;
namespace fs = std::filesystem;

namespace {

class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "caldrovex-lock-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

TEST_F(InstanceLockTest, OneHolderAtATimeAndFreeAgainOnceReleased) {
    const auto file = root / "caldrovex-host.lock";
    auto first = InstanceLock::tryAcquire(file);
    ASSERT_TRUE(first);
    EXPECT_EQ((fs::status(file).permissions() & fs::perms::all),
              fs::perms::owner_read | fs::perms::owner_write);
    // A second open of the file is another holder, as another process would be.
    EXPECT_FALSE(InstanceLock::tryAcquire(file));
    first.reset();
    EXPECT_TRUE(InstanceLock::tryAcquire(file)) << "the file left behind does not block";
}

TEST_F(InstanceLockTest, UnopenableFileIsAnError) {
    EXPECT_THROW(InstanceLock::tryAcquire(root / "missing" / "caldrovex-host.lock"),
                 CaldrovexError);
}

TEST_F(InstanceLockTest, OnlyAFolderClosedToOthersIsPrivate) {
    struct Case {
        const char* note;
        fs::perms mode;
        bool isPrivate;
    };
    const Case cases[] = {
        {"0700", fs::perms::owner_all, true},
        {"0755",
         fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
             fs::perms::others_read | fs::perms::others_exec,
         false},
        {"0710", fs::perms::owner_all | fs::perms::group_exec, false},
    };
    for (const auto& c : cases) {
        fs::permissions(root, c.mode, fs::perm_options::replace);
        if (c.isPrivate)
            EXPECT_NO_THROW(InstanceLock::requirePrivateFolder(root)) << c.note;
        else
            EXPECT_THROW(InstanceLock::requirePrivateFolder(root), CaldrovexError) << c.note;
    }
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::replace);
    EXPECT_THROW(InstanceLock::requirePrivateFolder(root / "missing"), CaldrovexError);
    std::ofstream(root / "file") << "x";
    EXPECT_THROW(InstanceLock::requirePrivateFolder(root / "file"), CaldrovexError)
        << "not a folder";
}

}  // namespace
