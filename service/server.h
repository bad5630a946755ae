// Serves the task-service pipe: worker threads each take the next client,
// read its request, let the request core answer it and write the reply, and
// log one line per request.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe_server.h"
#include "service/dispatcher.h"
#include "service/task_service.h"

namespace taskd {

// "ZEPTAR_<suffix>_TSK_REQ": the pipe of the instance with that suffix.
std::string PipeNameFor(const std::string &suffix);

class Server {
  public:
    Server(TaskService &svc, AccessPolicy access);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Serves "\\.\pipe\<pipe_name>" with workers threads. Returns an empty
    // string, or why it cannot.
    std::string Start(const std::string &pipe_name, int workers);
    // Takes no more clients and waits for the requests in flight.
    void Stop();

  private:
    void Work();

    TaskService &svc_;
    AccessPolicy access_;
    std::unique_ptr<vex::platform::PipeServer> pipe_;
    std::vector<std::thread> workers_;
};

} // namespace taskd
