#include "protocol/RemoteDisplay.h"

#include "protocol/JsonReader.h"
#include "protocol/JsonWriter.h"

namespace caldrovex {

nlohmann::ordered_json RemoteDisplay::toJSON() const {
    JsonWriter writer;
    writer.uint32("id", id);
    writer.string("name", name);
    writer.int64("width", width);
    writer.int64("height", height);
    return writer.object();
}

std::optional<RemoteDisplay> RemoteDisplay::fromJSON(const nlohmann::json& value) {
    JsonReader reader(value);
    RemoteDisplay display;
    display.id = reader.required(reader.uint32("id"));
    display.name = reader.required(reader.string("name"));
    display.width = reader.required(reader.int64("width"));
    display.height = reader.required(reader.int64("height"));
    if (!reader.ok()) return std::nullopt;
    return display;
}

std::string RemoteDisplay::encode() const {
    return JsonWriter::toText(toJSON());
}

std::optional<RemoteDisplay> RemoteDisplay::decode(std::string_view json) {
    auto value = JsonReader::parse(json);
    if (value.is_discarded()) return std::nullopt;
    return fromJSON(value);
}

}  // namespace caldrovex
