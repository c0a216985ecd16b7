#include "video/PacketConnectionSink.h"

#include <utility>

namespace caldrovex {

PacketConnectionSink::PacketConnectionSink(std::shared_ptr<PacketConnection> connection)
    : connection(std::move(connection)) {}

}  // namespace caldrovex
