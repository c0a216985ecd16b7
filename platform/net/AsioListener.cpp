#include "platform/net/AsioListener.h"

namespace caldrovex::platform::net {

ListenerPtr makeListener(const Parameters& parameters) {
    return std::make_shared<AsioListener>(std::make_shared<ListenerEngine>(parameters));
}

}  // namespace caldrovex::platform::net
