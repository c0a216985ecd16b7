#pragma once

#include "host/Clipboard.h"

namespace caldrovex::test {

// A clipboard held in memory; counts writes. `whyUnavailable` makes it unavailable.
class FakeClipboard final : public Clipboard {
public:
    std::optional<std::string> text() override { return content; }
    void setText(const std::string& text) override {
        content = text;
        ++writes;
    }
    std::optional<std::string> unavailable() override { return whyUnavailable; }

    std::optional<std::string> content;
    int writes = 0;
    std::optional<std::string> whyUnavailable;
};

}  // namespace caldrovex::test
