#include "reach/RelayConfiguration.h"

#include "platform/CaldrovexError.h"

namespace caldrovex {

const char* const RelayConfiguration::kNotConfiguredMessage =
    "No relay is configured. Set CALDROVEX_RELAY to the relay's host:port (or \"relayEndpoint\" "
    "in the settings file) to reach this computer through one.";

namespace {

const char* placeName(RelayConfiguration::Source source) {
    switch (source) {
        case RelayConfiguration::Source::environment:
            return "CALDROVEX_RELAY";
        case RelayConfiguration::Source::settings:
            return "The settings file's \"relayEndpoint\"";
        case RelayConfiguration::Source::builtIn:
            break;
    }
    return "The built-in relay";
}

RelayConfiguration decide(const std::string& text, RelayConfiguration::Source source) {
    RelayConfiguration configuration;
    configuration.source = source;
    if (text.empty() || text == RelayConfiguration::kNone) return configuration;
    try {
        configuration.endpoint = RelayEndpoint::parse(text);
    } catch (const CaldrovexError& error) {
        // "The relay address … is wrong." names the value; the place goes in front of it.
        configuration.error = std::string(placeName(source)) + " cannot be used. " + error.what();
    }
    return configuration;
}

}  // namespace

RelayConfiguration RelayConfiguration::resolve(const std::optional<std::string>& environment,
                                               const std::optional<std::string>& settings,
                                               std::string_view builtIn) {
    if (environment) return decide(*environment, Source::environment);
    if (settings) return decide(*settings, Source::settings);
    return decide(std::string(builtIn), Source::builtIn);
}

std::string_view RelayConfiguration::builtInText() {
    return CALDROVEX_RELAY_DEFAULT;
}

std::optional<std::string> RelayConfiguration::reason() const {
    if (endpoint) return std::nullopt;
    return error.value_or(kNotConfiguredMessage);
}

}  // namespace caldrovex
