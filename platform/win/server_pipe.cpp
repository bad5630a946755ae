#include "platform/pipe_server.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace vex::platform {
namespace {

constexpr DWORD kBufferSize = 16384;

HANDLE NewInstance(const std::string &path, bool first) {
    DWORD open_mode = PIPE_ACCESS_DUPLEX;
    if (first) open_mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    return CreateNamedPipeA(path.c_str(), open_mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, nullptr);
}

class PipeInstance final : public PipeConnection {
  public:
    explicit PipeInstance(HANDLE h) : h_(h) {}
    ~PipeInstance() override {
        // Answering, flushing and disconnecting is faster than waiting for the
        // client to close.
        FlushFileBuffers(h_);
        DisconnectNamedPipe(h_);
        CloseHandle(h_);
    }

    bool ReadMessage(std::vector<std::uint8_t> &out, std::size_t max_size, bool *truncated) override {
        out.resize(max_size);
        DWORD got = 0;
        *truncated = false;
        if (!ReadFile(h_, out.data(), static_cast<DWORD>(max_size), &got, nullptr)) {
            if (GetLastError() != ERROR_MORE_DATA) return false;
            *truncated = true;
            // Drain the rest of the message so the reply can follow it.
            std::uint8_t sink[4096];
            DWORD more = 0;
            while (!ReadFile(h_, sink, sizeof sink, &more, nullptr) && GetLastError() == ERROR_MORE_DATA) {
            }
        }
        out.resize(*truncated ? max_size : got);
        return true;
    }

    bool WriteMessage(const void *data, std::size_t size) override {
        DWORD put = 0;
        return WriteFile(h_, data, static_cast<DWORD>(size), &put, nullptr) && put == size;
    }

    PeerIdentity Peer() const override {
        PeerIdentity id;
        ULONG pid = 0;
        if (GetNamedPipeClientProcessId(h_, &pid)) {
            id.known = true;
            id.process_id = pid;
        }
        return id;
    }

  private:
    HANDLE h_;
};

class InstanceServer final : public PipeServer {
  public:
    InstanceServer(std::string path, HANDLE first) : path_(std::move(path)), next_(first) {}
    ~InstanceServer() override {
        Stop();
        std::lock_guard<std::mutex> lock(mu_);
        if (next_ != INVALID_HANDLE_VALUE) CloseHandle(next_);
    }

    std::unique_ptr<PipeConnection> Accept() override {
        std::lock_guard<std::mutex> lock(mu_);
        while (!stopped_.load() && next_ != INVALID_HANDLE_VALUE) {
            const bool ok = ConnectNamedPipe(next_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
            HANDLE connected = next_;
            // Keep one instance listening at all times.
            next_ = NewInstance(path_, false);
            if (stopped_.load()) {
                CloseHandle(connected);
                break;
            }
            if (ok) return std::make_unique<PipeInstance>(connected);
            CloseHandle(connected);
        }
        return nullptr;
    }

    void Stop() override {
        if (stopped_.exchange(true)) return;
        // Wake a thread blocked in ConnectNamedPipe by connecting to it.
        HANDLE h = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }

  private:
    std::string path_;
    std::mutex mu_;
    HANDLE next_;
    std::atomic<bool> stopped_{false};
};

} // namespace

// Pipe instances here block in ReadFile without a limit: a silent client
// holds its instance until it goes away.
std::unique_ptr<PipeServer> ServePipe(const std::string &name, std::uint32_t *error, int /*client_silence_seconds*/) {
    std::string path = "\\\\.\\pipe\\" + name;
    HANDLE first = NewInstance(path, true);
    if (first == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        if (*error == ERROR_ACCESS_DENIED) *error = ERROR_ALREADY_EXISTS;
        return nullptr;
    }
    *error = 0;
    return std::make_unique<InstanceServer>(std::move(path), first);
}

} // namespace vex::platform
