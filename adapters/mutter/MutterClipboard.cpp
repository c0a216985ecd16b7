#include "adapters/mutter/MutterClipboard.h"

#include "adapters/mutter/MutterSessionClipboard.h"

namespace caldrovex::platform {

MutterClipboard::MutterClipboard(std::shared_ptr<MutterDesktop> desktop)
    : desktop_(std::move(desktop)) {}

std::optional<std::string> MutterClipboard::text() {
    auto current = desktop_->current();
    auto clipboard = current ? current->session->clipboard() : nullptr;
    return clipboard ? clipboard->text() : std::nullopt;
}

void MutterClipboard::setText(const std::string& text) {
    auto current = desktop_->current();
    if (auto clipboard = current ? current->session->clipboard() : nullptr)
        clipboard->setText(text);
}

std::optional<std::string> MutterClipboard::unavailable() {
    auto current = desktop_->current();
    if (current && !current->session->clipboard()) return std::string(kUnavailable);
    return std::nullopt;
}

}  // namespace caldrovex::platform
