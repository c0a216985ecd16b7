#include "platform/net/AsioConnection.h"

namespace caldrovex::platform::net {

ConnectionPtr makeConnection(const Endpoint& to, const Parameters& parameters) {
    return std::make_shared<AsioConnection>(ConnectionEngine::outgoing(to, parameters));
}

}  // namespace caldrovex::platform::net
