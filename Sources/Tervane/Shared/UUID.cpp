#include <Tervane/Shared/UUID.hpp>

#include <uuid/uuid.h>

namespace Tervane {

UUID UUID::random() {
    UUID result;
    uuid_generate_random(result.bytes_.data());
    return result;
}

std::string UUID::uuidString() const {
    char text[37];
    uuid_unparse_upper(bytes_.data(), text);
    return std::string(text, 36);
}

}  // namespace Tervane
