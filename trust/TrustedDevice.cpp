#include "trust/TrustedDevice.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace caldrovex {

namespace {

using std::chrono::system_clock;

// 2001-01-01T00:00:00Z in seconds since the Unix epoch.
constexpr int64_t kReferenceDateUnixSeconds = 978307200;

// system_clock counts 64-bit nanoseconds, about ±292 years around 1970; dates are refused
// comfortably inside that range so that a corrupt number cannot overflow the conversion.
constexpr double kRepresentableSeconds = 8.0e9;

}  // namespace

// Whole seconds and the fraction are converted apart: a double holds today's dates to about
// a tenth of a microsecond, but multiplying it out to nanoseconds in one go would round
// away even exact fractions such as .25.
double TrustedDevice::secondsSinceReferenceDate(platform::Clock::WallTime date) {
    using namespace std::chrono;
    const auto sinceReference = date.time_since_epoch() - seconds(kReferenceDateUnixSeconds);
    const auto whole = floor<seconds>(sinceReference);
    return static_cast<double>(whole.count()) + duration<double>(sinceReference - whole).count();
}

platform::Clock::WallTime TrustedDevice::fromSecondsSinceReferenceDate(double value) {
    using namespace std::chrono;
    if (!std::isfinite(value) || std::fabs(value) > kRepresentableSeconds) {
        throw std::out_of_range("date outside the representable range");
    }
    const double whole = std::floor(value);
    const auto fraction = round<system_clock::duration>(duration<double>(value - whole));
    return platform::Clock::WallTime(seconds(static_cast<int64_t>(whole)) +
                                     seconds(kReferenceDateUnixSeconds) + fraction);
}

void to_json(nlohmann::json& json, const TrustedDevice& device) {
    json = nlohmann::json{
        {"id", device.id},
        {"name", device.name},
        {"tokenHash", device.tokenHash},
        {"pairedAt", TrustedDevice::secondsSinceReferenceDate(device.pairedAt)},
    };
}

void from_json(const nlohmann::json& json, TrustedDevice& device) {
    device.id = json.at("id").get<std::string>();
    device.name = json.at("name").get<std::string>();
    device.tokenHash = json.at("tokenHash").get<std::string>();
    const nlohmann::json& pairedAt = json.at("pairedAt");
    if (!pairedAt.is_number()) throw std::out_of_range("pairedAt is not a number");
    device.pairedAt = TrustedDevice::fromSecondsSinceReferenceDate(pairedAt.get<double>());
}

}  // namespace caldrovex
