// Serves the task-service pipe: takes clients, has the request core answer
// each one's request, writes the reply and logs one line per request.
//
// POSIX (server_posix.cpp): one event-loop thread multiplexes every
// connection with epoll and checks the caller's user as it connects; a
// permitted caller's connection goes to the worker pool once its request
// has arrived, so a silent connection costs a descriptor, never a worker.
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
    // to take its reply; connections held at once, all and per peer.
    std::chrono::milliseconds request_timeout{5000};
    int max_connections = 1024;
    int max_connections_per_peer = 128;
};

class Server {
  public:
    Server(TaskService &svc, AccessPolicy access, ServerLimits limits = {});
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

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
