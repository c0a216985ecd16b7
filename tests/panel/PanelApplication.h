#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <string>
#include <vector>

#include "protocol/PairingInvitation.h"
#include "trust/TrustedDevice.h"

namespace caldrovex::test {

// The widget application of these tests, made once for the program on the test thread, with
// the style the host uses.
QApplication& panelApplication();

// Lets queued work (deferred deletions, clipboard events) run.
void settleEvents();

// The widgets under `root` that are visible (as far as `root` goes) and show `text`.
template <typename Widget>
std::vector<Widget*> visibleWithText(QWidget* root, const QString& text) {
    std::vector<Widget*> found;
    for (auto* widget : root->findChildren<Widget*>()) {
        if (widget->isVisibleTo(root) && widget->text() == text) found.push_back(widget);
    }
    return found;
}

// An invitation whose link is of a usual length.
PairingInvitation sampleInvitation();
// A paired device.
TrustedDevice sampleDevice(const std::string& id, const std::string& name);

}  // namespace caldrovex::test
