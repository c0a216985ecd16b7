#include "adapters/mutter/MutterDesktop.h"

#include "adapters/mutter/MutterCall.h"

namespace caldrovex::platform {

std::shared_ptr<MutterDesktop> MutterDesktop::open() {
    auto bus = MutterBus::open();
    if (!bus) return nullptr;
    return std::make_shared<MutterDesktop>(std::move(bus));
}

MutterDesktop::MutterDesktop(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}

bool MutterDesktop::offersScreenCast() {
    return nameHasOwner(bus_->queries(), kScreenCastName) &&
           nameHasOwner(bus_->queries(), kDisplayConfigName);
}

bool MutterDesktop::offersRemoteDesktop() {
    return nameHasOwner(bus_->queries(), kRemoteDesktopName);
}

std::vector<MutterMonitor> MutterDesktop::monitors() {
    return mutterMonitors(bus_->queries());
}

void MutterDesktop::setCurrent(std::shared_ptr<MutterRemoteSession> session,
                               CaptureDisplay display) {
    std::lock_guard guard(mutex_);
    current_ = Current{std::move(session), std::move(display)};
}

void MutterDesktop::forget(const MutterRemoteSession* session) {
    std::lock_guard guard(mutex_);
    if (current_ && current_->session.get() == session) current_.reset();
}

std::optional<MutterDesktop::Current> MutterDesktop::current() {
    std::lock_guard guard(mutex_);
    if (current_ && !current_->session->running()) current_.reset();
    return current_;
}

}  // namespace caldrovex::platform
