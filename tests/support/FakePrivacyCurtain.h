#pragma once

#include <optional>
#include <set>
#include <vector>

#include "input/PrivacyCurtain.h"

namespace caldrovex::test {

// A curtain without windows: one id per screen in `screens`, kept across `prepare` calls
// while its screen stays, as the real one keeps its windows; records whether it is shown.
class FakePrivacyCurtain final : public PrivacyCurtain {
public:
    std::optional<CaldrovexError> unavailable() const override { return unavailableReason; }
    void prepare() override {
        ++prepares;
        if (unavailableReason) return;
        // A screen's window keeps its id; a new screen gets a new one.
        std::vector<uint32_t> ids;
        for (size_t i = 0; i < screens; ++i) ids.push_back(i < ids_.size() ? ids_[i] : nextID_++);
        ids_ = ids;
    }
    std::set<uint32_t> windowIDs() const override { return {ids_.begin(), ids_.end()}; }
    void reveal() override {
        if (ids_.empty()) return;
        shown = true;
        ++reveals;
    }
    void hide() override { shown = false; }

    std::optional<CaldrovexError> unavailableReason;
    size_t screens = 1;
    bool shown = false;
    int prepares = 0;
    int reveals = 0;

private:
    std::vector<uint32_t> ids_;
    uint32_t nextID_ = 0x400001;
};

}  // namespace caldrovex::test
