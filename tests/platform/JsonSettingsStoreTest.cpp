#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "adapters/files/JsonSettingsStore.h"

using caldrovex::platform::JsonSettingsStore;
namespace fs = std::filesystem;

namespace {

class JsonSettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("caldrovex-settings-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        file = folder / "Caldrovex" / "defaults.json";
    }
    void TearDown() override { fs::remove_all(folder); }

    void writeFile(const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    nlohmann::json readFile() const {
        std::ifstream stream(file);
        std::stringstream text;
        text << stream.rdbuf();
        return nlohmann::json::parse(text.str());
    }

    fs::path folder;
    fs::path file;
};

TEST_F(JsonSettingsStoreTest, MissingFileReadsAsNeverWritten) {
    JsonSettingsStore store(file);
    EXPECT_EQ(store.boolean("hostEnabled"), std::nullopt);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(JsonSettingsStoreTest, WriteCreatesFolderAndSurvivesReload) {
    {
        JsonSettingsStore store(file);
        store.setBoolean("hostEnabled", true);
        store.setBoolean("relayEnabled", false);
        EXPECT_EQ(store.boolean("hostEnabled"), true);
        EXPECT_EQ(store.lastWriteError(), std::nullopt);
    }
    JsonSettingsStore reloaded(file);
    EXPECT_EQ(reloaded.boolean("hostEnabled"), true);
    EXPECT_EQ(reloaded.boolean("relayEnabled"), false);
    EXPECT_EQ(readFile(), (nlohmann::json{{"hostEnabled", true}, {"relayEnabled", false}}));
    // Only the settings file is left: the temporary file was renamed over it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator{}),
              1);
}

TEST_F(JsonSettingsStoreTest, ValuesOfAnotherTypeReadAsAbsentAndUnknownKeysAreKept) {
    writeFile(R"({"relayEnabled": "yes", "other": [1, 2], "curtainEnabled": true,
                  "relayEndpoint": "relay.example.org:48700"})");
    JsonSettingsStore store(file);
    EXPECT_EQ(store.boolean("relayEnabled"), std::nullopt);
    EXPECT_EQ(store.boolean("curtainEnabled"), true);
    EXPECT_EQ(store.text("relayEndpoint"), "relay.example.org:48700");
    EXPECT_EQ(store.text("curtainEnabled"), std::nullopt);
    EXPECT_EQ(store.text("missing"), std::nullopt);
    store.setBoolean("controlEnabled", true);
    auto json = readFile();
    EXPECT_EQ(json["other"], (nlohmann::json{1, 2}));
    EXPECT_EQ(json["controlEnabled"], true);
}

TEST_F(JsonSettingsStoreTest, MalformedFileCountsAsEmptyAndIsReplacedOnWrite) {
    writeFile("{not json");
    JsonSettingsStore store(file);
    EXPECT_EQ(store.boolean("hostEnabled"), std::nullopt);
    store.setBoolean("hostEnabled", false);
    EXPECT_EQ(readFile(), (nlohmann::json{{"hostEnabled", false}}));
}

TEST_F(JsonSettingsStoreTest, FailedWriteKeepsValueInMemoryAndReportsIt) {
    // A plain file where the folder should be makes the write impossible.
    fs::create_directories(folder);
    std::ofstream(folder / "Caldrovex") << "in the way";
    JsonSettingsStore store(file);
    store.setBoolean("hostEnabled", true);
    EXPECT_EQ(store.boolean("hostEnabled"), true);
    ASSERT_TRUE(store.lastWriteError().has_value());
    EXPECT_FALSE(store.lastWriteError()->empty());
}

}  // namespace
