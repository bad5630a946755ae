#include "service/connection.h"

#include <cstring>

#include "service/os.h"

namespace taskd {

PeerKey PeerKey::LocalUser(std::uint32_t user_id) {
    PeerKey k;
    k.kind = Kind::LocalUser;
    std::memcpy(k.bytes.data(), &user_id, sizeof user_id);
    return k;
}

std::string PeerKey::Describe() const {
    switch (kind) {
    case Kind::LocalUser: {
        std::uint32_t id = 0;
        std::memcpy(&id, bytes.data(), sizeof id);
        return "user " + os::UserName(id) + " (" + std::to_string(id) + ")";
    }
    case Kind::NetworkAddress: break;
    case Kind::Unknown: return "unknown callers";
    }
    return "a network peer";
}

} // namespace taskd
