#pragma once

#include <functional>
#include <string>
#include <vector>

#include "adapters/qt/HostControls.h"

namespace caldrovex::test {

// The panel's controls over a state the test sets. Each operation is recorded by name (with
// its argument) and changes the state as the host controller would, then reports `onChange`
// like the controller's change notification.
class FakeHostControls final : public platform::HostControls {
public:
    HostPublished state;
    std::vector<std::string> calls;
    std::function<void()> onChange;

    const HostPublished& published() const override { return state; }

    void startSharing() override {
        record("start");
        state.running = true;
        changed();
    }
    void stopSharing() override {
        record("stop");
        state.running = false;
        state.invitation.reset();
        changed();
    }
    void retryCredentials() override {
        record("retry");
        state.error.reset();
        changed();
    }
    void refreshListeners() override { record("refresh"); }
    void setRelayEnabled(bool on) override { set("relay", state.relayEnabled, on); }
    void setLocalNetworkEnabled(bool on) override { set("local", state.localNetworkEnabled, on); }
    void setControlEnabled(bool on) override { set("control", state.controlEnabled, on); }
    void setLogin(bool on) override {
        // The login item fails the way the real one can: the switch must spring back.
        record("login " + std::string(on ? "on" : "off"));
        if (loginFails) {
            state.error = "The login entry could not be written.";
            changed();
            return;
        }
        state.loginEnabled = on;
        changed();
    }
    void setCurtainEnabled(bool on) override { set("curtain", state.curtainEnabled, on); }
    void makeInvitation() override { record("invite"); }
    void cancelInvitation() override {
        record("cancel");
        state.invitation.reset();
        changed();
    }
    void revoke(const std::string& deviceID) override {
        record("revoke " + deviceID);
        std::erase_if(state.devices,
                      [&](const TrustedDevice& device) { return device.id == deviceID; });
        changed();
    }
    void quit() override { record("quit"); }

    bool loginFails = false;

private:
    void record(std::string call) { calls.push_back(std::move(call)); }
    void set(const std::string& name, bool& field, bool on) {
        record(name + (on ? " on" : " off"));
        field = on;
        changed();
    }
    void changed() {
        if (auto callback = onChange) callback();
    }
};

}  // namespace caldrovex::test
