#include <gtest/gtest.h>

#include <map>

#include "platform/UserFolders.h"

using caldrovex::platform::UserFolders;

namespace {

UserFolders withEnvironment(std::map<std::string, std::string> variables) {
    return UserFolders([variables](const std::string& name) -> std::optional<std::string> {
        auto found = variables.find(name);
        if (found == variables.end()) return std::nullopt;
        return found->second;
    });
}

TEST(UserFolders, XdgVariablesWinWhenAbsolute) {
    auto folders = withEnvironment({{"HOME", "/home/ada"},
                                    {"XDG_DATA_HOME", "/data"},
                                    {"XDG_CONFIG_HOME", "/config"},
                                    {"XDG_RUNTIME_DIR", "/run/user/1000"}});
    EXPECT_EQ(folders.dataFolder(), "/data/Caldrovex");
    EXPECT_EQ(folders.configFolder(), "/config/Caldrovex");
    EXPECT_EQ(folders.runtimeFolder(), "/run/user/1000");
}

TEST(UserFolders, MissingEmptyOrRelativeVariablesFallBackToHome) {
    for (const std::string& value : {std::string(), std::string("relative/share")}) {
        SCOPED_TRACE("XDG value '" + value + "'");
        auto folders = withEnvironment(
            {{"HOME", "/home/ada"}, {"XDG_DATA_HOME", value}, {"XDG_CONFIG_HOME", value}});
        EXPECT_EQ(folders.dataFolder(), "/home/ada/.local/share/Caldrovex");
        EXPECT_EQ(folders.configFolder(), "/home/ada/.config/Caldrovex");
    }
}

TEST(UserFolders, RuntimeFolderFallsBackToSystemTemporaryFolder) {
    auto folders = withEnvironment({{"HOME", "/home/ada"}});
    EXPECT_EQ(folders.runtimeFolder(), std::filesystem::temp_directory_path());
}

}  // namespace
