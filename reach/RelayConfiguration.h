#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "reach/RelayEndpoint.h"

namespace caldrovex {

// Which relay service this host uses, if any. Three places may name one, in this order of
// precedence:
//
//   1. the environment variable CALDROVEX_RELAY,
//   2. the entry "relayEndpoint" of the settings file (a text),
//   3. the default built into the program (the CMake cache entry CALDROVEX_RELAY_DEFAULT),
//      which is empty: no relay runs for this project, and a default must never name a host
//      that someone else could come to own.
//
// Each holds the written form of RelayEndpoint::parse, "HOST[:PORT][#SHA256]", for example
// "relay.example.org", "192.0.2.7:48700" or "[2001:db8::7]:48700#<64 hex digits>". An empty
// value, or "none", says "no relay" and hides the places below it. A value that does not read
// is not skipped in favour of a lower place: the relay then stays off and the sentence says
// why, so that a typing mistake cannot silently send the host elsewhere.
//
// Plain value; `resolve` is pure and callable from any thread.
struct RelayConfiguration {
    enum class Source { builtIn, settings, environment };

    static constexpr const char* kEnvironmentVariable = "CALDROVEX_RELAY";
    static constexpr const char* kSettingsKey = "relayEndpoint";
    static constexpr std::string_view kNone = "none";
    static const char* const kNotConfiguredMessage;

    // The relay to use; absent when none is configured or the configured value is wrong.
    std::optional<RelayEndpoint> endpoint;
    // The place the decision came from.
    Source source = Source::builtIn;
    // Why the configured value could not be used (it quotes the place and the value).
    std::optional<std::string> error;

    // Decides from the values found (absent: the place says nothing).
    static RelayConfiguration resolve(const std::optional<std::string>& environment,
                                      const std::optional<std::string>& settings,
                                      std::string_view builtIn = builtInText());

    // The build's default, as written in CALDROVEX_RELAY_DEFAULT.
    static std::string_view builtInText();

    // Why there is no relay, for the host's status: the error, or kNotConfiguredMessage.
    // Absent when an endpoint is configured.
    std::optional<std::string> reason() const;
};

}  // namespace caldrovex
