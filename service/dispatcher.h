// The request core: one request record in, one reply record out, with no
// pipe in between. The server, the tests and the fuzz target all enter here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/requests.h"
#include "service/task_service.h"

namespace taskd {

// Who may send requests: the service's own user, root and the users of
// --allow-user. Where users are checked, a caller whose user the platform
// does not tell is turned away; where they are not (Windows), all may call.
struct AccessPolicy {
    bool check_users = false;
    std::vector<std::uint32_t> allowed_users;
    bool Permits(const Caller &caller) const;
};

// The reply to a caller turned away before its request is read: status and
// text in a record of the short reply's size.
std::vector<std::uint8_t> RefusalReply(std::int32_t status, const std::string &text);

// What the log says about a request.
struct RequestSummary {
    std::uint32_t code = 0;
    const char *name = "unknown";
    std::int32_t status = 0;
    std::int32_t value = 0;
    bool read_only = false; // the operation changes nothing
};

// Decodes the request (any bytes, any size), carries it out and returns the
// reply record, always of the size its operation's caller offers (536 bytes
// for a code the service does not know).
std::vector<std::uint8_t> HandleRequest(TaskService &svc, const AccessPolicy &access, const std::uint8_t *data,
                                        std::size_t size, const Caller &caller, RequestSummary *summary = nullptr);
// The same into reply_out, whose storage is reused: a server that keeps one
// reply vector per worker allocates nothing per request.
void HandleRequest(TaskService &svc, const AccessPolicy &access, const std::uint8_t *data, std::size_t size,
                   const Caller &caller, std::vector<std::uint8_t> &reply_out, RequestSummary *summary = nullptr);
// For a thread that must never wait (the server's event loop): the same,
// but only where that is quick: a request refused before it is carried out,
// or one of the read-only operations that look only at the state in memory,
// and then only if the service's mutex is free within tries attempts, the
// thread yielding its CPU between them (a state write or a launch may hold
// it long; another quick request only for a moment). Otherwise false, with
// nothing done: the request is for a thread that may wait.
bool HandleRequestIfQuick(TaskService &svc, const AccessPolicy &access, const std::uint8_t *data,
                          std::size_t size, const Caller &caller, std::vector<std::uint8_t> &reply_out,
                          RequestSummary *summary = nullptr, int tries = 1);

} // namespace taskd
