#pragma once

#include <map>
#include <optional>
#include <string>

#include "host/SettingsStore.h"

namespace caldrovex::test {

// Settings in memory; `values` is open for set-up and checks.
class MemorySettingsStore final : public SettingsStore {
public:
    std::optional<bool> boolean(const std::string& key) const override {
        auto found = values.find(key);
        if (found == values.end()) return std::nullopt;
        return found->second;
    }
    std::optional<std::string> text(const std::string& key) const override {
        auto found = texts.find(key);
        if (found == texts.end()) return std::nullopt;
        return found->second;
    }
    void setBoolean(const std::string& key, bool value) override { values[key] = value; }

    std::map<std::string, bool> values;
    std::map<std::string, std::string> texts;
};

}  // namespace caldrovex::test
