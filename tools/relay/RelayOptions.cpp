#include "tools/relay/RelayOptions.h"

#include <cstdlib>
#include <string_view>

#include "platform/CaldrovexError.h"
#include "reach/RelayEndpoint.h"

namespace caldrovex::relay {

namespace {

std::optional<unsigned long> positive(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9)
        return std::nullopt;
    const unsigned long value = std::stoul(text);
    if (value == 0) return std::nullopt;
    return value;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

}  // namespace

std::filesystem::path RelayOptions::defaultStateFolder() {
    if (auto folder = environment("STATE_DIRECTORY")) return *folder;
    if (auto state = environment("XDG_STATE_HOME"); state && state->starts_with('/'))
        return std::filesystem::path(*state) / "caldrovex-relay";
    return std::filesystem::path(environment("HOME").value_or("/")) / ".local" / "state" /
           "caldrovex-relay";
}

RelayOptions RelayOptions::parse(int argc, char** argv, std::optional<std::string>& error) {
    RelayOptions options;
    options.stateFolder = defaultStateFolder();
    for (int i = 1; i < argc && !error; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = std::string(argument) +
                    (argument.starts_with("--") ? " needs a value" : " is not an option");
            break;
        }
        const std::string value = argv[++i];
        if (argument == "--listen") {
            try {
                // Port 0 (any free port) is no relay's address, but a fine place to listen.
                const bool anyPort = value.ends_with(":0");
                const auto where =
                    RelayEndpoint::parse(anyPort ? value.substr(0, value.size() - 2) : value);
                if (where.pinnedCertificateHash)
                    throw CaldrovexError("An address to listen on has no certificate hash.");
                options.service.listen = {where.host, anyPort ? uint16_t(0) : where.port};
            } catch (const CaldrovexError& failure) {
                error = std::string("--listen: ") + failure.what();
            }
        } else if (argument == "--state") {
            options.stateFolder = value;
        } else if (argument == "--certificate") {
            options.certificateFile = value;
        } else if (argument == "--key") {
            options.keyFile = value;
        } else if (argument == "--max-connections" || argument == "--per-source") {
            const auto number = positive(value);
            if (!number) {
                error = std::string(argument) + " takes a whole number above 0";
            } else if (argument == "--max-connections") {
                options.service.maxConnections = *number;
            } else {
                options.service.perSourcePerMinute = static_cast<double>(*number);
                options.service.perSourceBurst = static_cast<double>(*number);
            }
        } else {
            error = std::string(argument) + " is not an option";
        }
    }
    if (!error && options.certificateFile.has_value() != options.keyFile.has_value())
        error = "--certificate and --key go together";
    return options;
}

const char* RelayOptions::usage() {
    return "usage: caldrovex-relay [--listen ADDRESS[:PORT]] [--state DIR]\n"
           "                       [--certificate FILE --key FILE]\n"
           "                       [--max-connections N] [--per-source N]\n"
           "\n"
           "A relay for Caldrovex hosts and devices: TLS on 0.0.0.0:48700 unless --listen says\n"
           "otherwise (port 0 takes a free one). Prints \"listening: ADDRESS:PORT\" and\n"
           "\"certificate: SHA256\" (the hash hosts and devices pin) once it serves, and logs\n"
           "connections and outcomes on standard error. SIGINT or SIGTERM stops it.\n"
           "\n"
           "  --state DIR          where its own certificate is kept (made on first start)\n"
           "  --certificate, --key PEM files of a certificate to present instead\n"
           "  --max-connections N  connections served at once; more hear \"FULL\" (4096)\n"
           "  --per-source N       new links one address may open per minute (120)\n";
}

}  // namespace caldrovex::relay
