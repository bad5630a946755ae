// Answers discovery: listens on "\\.\mailslot\Tidewell\Browse" and answers
// each well-formed browse request on the reply mailslot it names with three
// strings: the node name, the instance's display name and the service
// version. Malformed requests are dropped without an answer.
//
// One mailslot name serves a whole node, so only one instance at a time can
// hold it: an instance that finds it taken tries again every second and
// takes over once the holder has gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace taskd {

struct BrowseIdentity {
    std::string node_name;
    std::string display_name;
    std::string version;
};

// Where and what to answer for one received request.
struct BrowseAnswer {
    std::string reply_path; // the mailslot to write to
    std::vector<std::uint8_t> message;
};

// The answer to one request, or null when the request is malformed or names a
// reply mailslot that is not a browse reply mailslot. A reply path on this
// node (its name equal to the identity's node name) is answered through
// "\\.\", which reaches the same mailslot without the network.
std::optional<BrowseAnswer> AnswerBrowseRequest(const std::uint8_t *data, std::size_t size,
                                                const BrowseIdentity &identity);

// The identity strings cut so that an answer fits its 128-byte message: the
// display name gives way first.
BrowseIdentity FitBrowseIdentity(BrowseIdentity identity);

class BrowseResponder {
  public:
    explicit BrowseResponder(BrowseIdentity identity);
    ~BrowseResponder();
    BrowseResponder(const BrowseResponder &) = delete;
    BrowseResponder &operator=(const BrowseResponder &) = delete;

    void Start();
    void Stop();

  private:
    void Run();

    BrowseIdentity identity_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace taskd
