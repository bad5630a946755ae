#include "service/connection.h"

#include <cstdio>
#include <cstring>

#include "service/os.h"

namespace taskd {

PeerKey PeerKey::LocalUser(std::uint32_t user_id) {
    PeerKey k;
    k.kind = Kind::LocalUser;
    std::memcpy(k.bytes.data(), &user_id, sizeof user_id);
    return k;
}

PeerKey PeerKey::NetworkAddress(const std::array<std::uint8_t, 16> &address) {
    PeerKey k;
    k.kind = Kind::NetworkAddress;
    k.bytes = address;
    return k;
}

std::string PeerKey::Describe() const {
    switch (kind) {
    case Kind::LocalUser: {
        std::uint32_t id = 0;
        std::memcpy(&id, bytes.data(), sizeof id);
        return "user " + os::UserName(id) + " (" + std::to_string(id) + ")";
    }
    case Kind::NetworkAddress: {
        static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(bytes.data(), kMapped, sizeof kMapped) == 0)
            return "address " + std::to_string(bytes[12]) + "." + std::to_string(bytes[13]) + "." +
                   std::to_string(bytes[14]) + "." + std::to_string(bytes[15]);
        std::string text = "address ";
        char group[8];
        for (int i = 0; i < 16; i += 2) {
            std::snprintf(group, sizeof group, i == 0 ? "%x" : ":%x", bytes[i] << 8 | bytes[i + 1]);
            text += group;
        }
        return text;
    }
    case Kind::Unknown: break;
    }
    return "unknown callers";
}

} // namespace taskd
