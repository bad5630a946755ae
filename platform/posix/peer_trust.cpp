#include "platform/posix/peer_trust.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace vex::platform::posix {
namespace {

constexpr uid_t kNoUser = static_cast<uid_t>(-1);

uid_t ParseUser(const char *text) {
    if (text == nullptr || *text == 0) return kNoUser;
    std::uint64_t n = 0;
    const char *p = text;
    while (*p >= '0' && *p <= '9' && n <= 0xFFFFFFFFu) n = n * 10 + static_cast<std::uint64_t>(*p++ - '0');
    if (*p == 0) return n < kNoUser ? static_cast<uid_t>(n) : kNoUser;
    // A user name: asked of the system's user database once, when it matters.
    passwd entry{};
    passwd *found = nullptr;
    char buffer[4096];
    if (getpwnam_r(text, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return kNoUser;
    return found->pw_uid;
}

uid_t TrustedServerUser() {
    static const uid_t user = ParseUser(secure_getenv(kTrustedServerUserVariable));
    return user;
}

} // namespace

std::uint32_t CheckServerPeer(int fd) {
    // The credentials the server had when it began to listen.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return Win32FromErrno(errno);
    if (cred.uid == 0 || cred.uid == ::geteuid()) return kErrorSuccess;
    const uid_t trusted = TrustedServerUser();
    return trusted != kNoUser && cred.uid == trusted ? kErrorSuccess : kErrorAccessDenied;
}

} // namespace vex::platform::posix
