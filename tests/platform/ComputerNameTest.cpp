#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/ComputerName.h"

using caldrovex::platform::ComputerName;

namespace {

TEST(ComputerName, PrettyHostnameFromMachineInfo) {
    struct Case {
        const char* note;
        const char* text;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"double quotes", "PRETTY_HOSTNAME=\"Ada's Laptop\"\n", "Ada's Laptop"},
        {"single quotes keep backslashes", "PRETTY_HOSTNAME='a\\b'\n", "a\\b"},
        {"bare value", "PRETTY_HOSTNAME=Workbench\n", "Workbench"},
        {"escapes in double quotes", "PRETTY_HOSTNAME=\"Say \\\"hi\\\"\"", "Say \"hi\""},
        {"other keys and comments",
         "# comment\nCHASSIS=laptop\n  PRETTY_HOSTNAME = \"Desk \"\nDEPLOYMENT=x\n", "Desk "},
        {"later assignment wins", "PRETTY_HOSTNAME=one\nPRETTY_HOSTNAME=two\n", "two"},
        {"UTF-8 kept", "PRETTY_HOSTNAME=\"Zoë’s Mac\"\n", "Zoë’s Mac"},
        {"empty value", "PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"missing key", "CHASSIS=desktop\n", std::nullopt},
        {"similar key", "PRETTY_HOSTNAME2=x\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(ComputerName::prettyHostname(c.text), c.expected);
    }
}

TEST(ComputerName, FallsBackToHostnameThenNothing) {
    auto file = std::filesystem::temp_directory_path() /
                ("caldrovex-machine-info-" + std::to_string(getpid()));
    auto hostname = [] { return std::optional<std::string>("workbench"); };
    auto none = [] { return std::optional<std::string>(); };

    std::filesystem::remove(file);
    EXPECT_EQ(ComputerName::resolve(file, hostname), "workbench");
    EXPECT_EQ(ComputerName::resolve(file, none), std::nullopt);

    std::ofstream(file) << "PRETTY_HOSTNAME=\"Studio\"\n";
    EXPECT_EQ(ComputerName::resolve(file, hostname), "Studio");

    std::ofstream(file) << "CHASSIS=desktop\n";
    EXPECT_EQ(ComputerName::resolve(file, hostname), "workbench");
    std::filesystem::remove(file);
}

TEST(ComputerName, KernelHostnameIsNotEmpty) {
    auto name = ComputerName::kernelHostname();
    ASSERT_TRUE(name.has_value());
    EXPECT_FALSE(name->empty());
}

}  // namespace
