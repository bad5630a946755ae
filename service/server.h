// Serves the task-service pipe: takes clients, has the request core answer
// each one's request, writes the reply and logs one line per request.
//
// POSIX (server_posix.cpp): one event-loop thread multiplexes every
// connection of every listener (the local pipe, the network ones) with epoll
// and checks the caller as it connects; a permitted caller's request goes to
// the worker pool once it has arrived whole, so a silent connection costs a
// descriptor, never a worker.
// Windows (server_win.cpp): a thread per pipe instance, as named pipes are
// served there.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "service/dispatcher.h"
#include "service/task_service.h"

namespace taskd {

// "ZEPTAR_<suffix>_TSK_REQ": the pipe of the instance with that suffix.
std::string PipeNameFor(const std::string &suffix);

struct ServerLimits {
    int workers = 8; // requests carried out at the same time (more while some wait long)
    // POSIX only: how long a caller has to send its whole request, and again
    // to take its reply; connections held at once, all, per local user and
    // per network address.
    std::chrono::milliseconds request_timeout{5000};
    int max_connections = 1024;
    int max_connections_per_peer = 128;
    int max_connections_per_address = 16;
    // For channels with a handshake, and those that carry several exchanges:
    // how long the handshake may take, and how long one may wait idle
    // between exchanges before it is closed.
    std::chrono::milliseconds handshake_timeout{10000};
    std::chrono::milliseconds idle_timeout{30000};
};

class Listener;

class Server {
  public:
    Server(TaskService &svc, AccessPolicy access, ServerLimits limits = {});
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

#if !defined(_WIN32)
    // Serves listener as well, its callers held to access (before Start).
    void Serve(std::unique_ptr<Listener> listener, AccessPolicy access);
#endif
    // Serves "\\.\pipe\<pipe_name>". Returns an empty string, or why it
    // cannot (naming the holder of a name already taken, where it can).
    std::string Start(const std::string &pipe_name);
    // Takes no more clients, drops those that have not sent a whole request
    // and waits for the requests in flight.
    void Stop();

    class Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The log line of one request read whole at started, the reply's fate told
// by sent. Shared by both servers.
void LogRequest(const RequestSummary &summary, const Caller &caller, std::chrono::steady_clock::time_point started,
                bool sent);

} // namespace taskd
