#pragma once

#include <functional>
#include <memory>

#include "adapters/qt/HostControls.h"
#include "host/HostModel.h"

namespace caldrovex {

// The panel's controls over the one HostModel: each button and switch calls the controller's
// operation; "Quit" is the application's (`onQuit`). Main thread only.
class ModelControls final : public platform::HostControls {
public:
    explicit ModelControls(std::shared_ptr<HostModel> host) : host_(std::move(host)) {}

    std::function<void()> onQuit;

    const HostPublished& published() const override { return host_->published(); }
    void startSharing() override { host_->start(); }
    void stopSharing() override { host_->stop(false); }
    void retryCredentials() override { host_->loadCredentials(true); }
    void refreshListeners() override { host_->refreshListeners(); }
    void setRelayEnabled(bool enabled) override { host_->setRelayEnabled(enabled); }
    void setLocalNetworkEnabled(bool enabled) override { host_->setLocalNetworkEnabled(enabled); }
    void setControlEnabled(bool enabled) override { host_->setControlEnabled(enabled); }
    void setLogin(bool enabled) override { host_->setLogin(enabled); }
    void setCurtainEnabled(bool enabled) override { host_->setCurtainEnabled(enabled); }
    void makeInvitation() override { host_->makeInvitation(); }
    void cancelInvitation() override { host_->cancelInvitation(); }
    void revoke(const std::string& deviceID) override { host_->revoke(deviceID); }
    void quit() override {
        if (auto callback = onQuit) callback();
    }

private:
    std::shared_ptr<HostModel> host_;
};

}  // namespace caldrovex
