// A caller's output buffer with guard bytes on both sides, so that a test
// sees any byte written outside it, also where no sanitizer runs (Wine).
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace vex::test {

class GuardedBuffer {
  public:
    static constexpr std::size_t kGuard = 32;
    static constexpr char kGuardByte = '\xA5';

    explicit GuardedBuffer(std::size_t size, char fill = '#') : size_(size), bytes_(size + 2 * kGuard, kGuardByte) {
        std::memset(data(), fill, size);
    }
    char *data() { return bytes_.data() + kGuard; }
    std::size_t size() const { return size_; }
    // The buffer's bytes, all of them.
    std::string Contents() const { return std::string(bytes_.data() + kGuard, size_); }
    // The text up to its NUL, or the whole buffer when it holds none.
    std::string Text() const {
        const std::string all = Contents();
        return all.substr(0, all.find('\0'));
    }
    bool GuardsIntact() const {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (bytes_[i] != kGuardByte || bytes_[kGuard + size_ + i] != kGuardByte) return false;
        return true;
    }

  private:
    std::size_t size_;
    std::vector<char> bytes_;
};

} // namespace vex::test
