// The relay endpoint's written form and where the host's relay comes from.

#include <gtest/gtest.h>

#include "platform/CaldrovexError.h"
#include "reach/RelayConfiguration.h"

using namespace caldrovex;

namespace {

const std::string kPin = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(RelayEndpointText, ReadsHostsPortsAndPins) {
    struct Case {
        std::string text;
        RelayEndpoint expected;
    };
    const Case cases[] = {
        {"relay.example.org", {"relay.example.org", 48700, std::nullopt}},
        {"relay.example.org:443", {"relay.example.org", 443, std::nullopt}},
        {"192.0.2.7:48701", {"192.0.2.7", 48701, std::nullopt}},
        {"[2001:db8::7]:48700", {"2001:db8::7", 48700, std::nullopt}},
        {"[::1]", {"::1", 48700, std::nullopt}},
        {"relay.example.org#" + kPin, {"relay.example.org", 48700, kPin}},
        // Pins are kept in lower case, whatever case they were written in.
        {"127.0.0.1:9#" + upper(kPin), {"127.0.0.1", 9, kPin}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const RelayEndpoint endpoint = RelayEndpoint::parse(c.text);
        EXPECT_EQ(endpoint, c.expected);
        EXPECT_EQ(RelayEndpoint::parse(endpoint.text()), endpoint) << "text() reads back";
    }
    EXPECT_EQ((RelayEndpoint{"2001:db8::7", 48700, std::nullopt}).address(), "[2001:db8::7]:48700");
}

TEST(RelayEndpointText, RefusesWithASentenceNamingTheFault) {
    struct Case {
        std::string text;
        std::string reason;
    };
    const Case cases[] = {
        {"", "has no host name"},
        {":48700", "has no host name"},
        {"relay.example.org:", "has a port that is not a number from 1 to 65535"},
        {"relay.example.org:0", "has a port that is not a number from 1 to 65535"},
        {"relay.example.org:65536", "has a port that is not a number from 1 to 65535"},
        {"relay.example.org:99999999999999999999",
         "has a port that is not a number from 1 to 65535"},
        {"relay.example.org:4x", "has a port that is not a number from 1 to 65535"},
        {"relay.example.org#abc", "has a certificate hash that is not 64 hexadecimal digits"},
        {"relay.example.org#" + std::string(63, 'a') + "g",
         "has a certificate hash that is not 64 hexadecimal digits"},
        {"2001:db8::7", "has an IPv6 address without brackets around it"},
        {"[2001:db8::7", "opens a bracket it never closes"},
        {"[2001:db8::7]x", "has text after its bracketed address"},
        {"[relay.example.org]", "has brackets around something that is not an IPv6 address"},
        {"relay example.org", "has a host name with characters no host name can have"},
        {"relay/example.org", "has a host name with characters no host name can have"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            RelayEndpoint::parse(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const CaldrovexError& error) {
            EXPECT_EQ(error.message(), "The relay address \"" + c.text + "\" " + c.reason + ".");
        }
    }
}

TEST(RelayConfiguration, EnvironmentThenSettingsThenBuiltIn) {
    using Source = RelayConfiguration::Source;
    const RelayEndpoint fromEnvironment{"env.example.org", 48700, std::nullopt};
    const RelayEndpoint fromSettings{"settings.example.org", 1234, std::nullopt};
    struct Case {
        const char* name;
        std::optional<std::string> environment;
        std::optional<std::string> settings;
        std::string builtIn;
        std::optional<RelayEndpoint> expected;
        Source source;
    };
    const Case cases[] = {
        {"nothing anywhere", std::nullopt, std::nullopt, "", std::nullopt, Source::builtIn},
        {"built in", std::nullopt, std::nullopt, "built.example.org",
         RelayEndpoint{"built.example.org", 48700, std::nullopt}, Source::builtIn},
        {"settings over built in", std::nullopt, "settings.example.org:1234", "built.example.org",
         fromSettings, Source::settings},
        {"environment over settings", "env.example.org", "settings.example.org:1234", "",
         fromEnvironment, Source::environment},
        {"empty environment means none", "", "settings.example.org:1234", "", std::nullopt,
         Source::environment},
        {"none in the settings", std::nullopt, "none", "built.example.org", std::nullopt,
         Source::settings},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto configuration =
            RelayConfiguration::resolve(c.environment, c.settings, c.builtIn);
        EXPECT_EQ(configuration.endpoint, c.expected);
        EXPECT_EQ(configuration.source, c.source);
        EXPECT_EQ(configuration.error, std::nullopt);
        EXPECT_EQ(configuration.reason().has_value(), !c.expected.has_value());
    }
}

TEST(RelayConfiguration, ABadValueTurnsTheRelayOffWithItsReasonInsteadOfFallingBack) {
    const auto configuration =
        RelayConfiguration::resolve("relay.example.org:0", "settings.example.org", "");
    EXPECT_EQ(configuration.endpoint, std::nullopt);
    EXPECT_EQ(configuration.reason(),
              "CALDROVEX_RELAY cannot be used. The relay address \"relay.example.org:0\" has a "
              "port that is not a number from 1 to 65535.");
}

TEST(RelayConfiguration, TheBuildNamesNoRelayAndSaysHowToSetOne) {
    EXPECT_EQ(RelayConfiguration::builtInText(), "");
    const auto configuration = RelayConfiguration::resolve(std::nullopt, std::nullopt);
    EXPECT_EQ(configuration.endpoint, std::nullopt);
    EXPECT_EQ(configuration.reason(), RelayConfiguration::kNotConfiguredMessage);
}

}  // namespace
