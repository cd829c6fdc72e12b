#include <Tervane/Shared/UUID.hpp>

#include <uuid/uuid.h>

namespace Tervane {

UUID UUID::random() {
    UUID result;
    uuid_generate_random(result.bytes_.data());
    return result;
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    const std::string terminated(text);
    UUID result;
    if (uuid_parse(terminated.c_str(), result.bytes_.data()) != 0) {
        return std::nullopt;
    }
    return result;
}

std::string UUID::uuidString() const {
    char text[37];
    uuid_unparse_upper(bytes_.data(), text);
    return std::string(text, 36);
}

}  // namespace Tervane
