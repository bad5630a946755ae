// A text composed in a fixed buffer. Appends that do not fit are cut, never
// written past the buffer, and overflowed() says that it happened; used where
// the system's texts are formatted without printf (pipe names, messages).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vex {

template <std::size_t Capacity> class FixedText {
    static_assert(Capacity > 0);

  public:
    FixedText() { buf_[0] = 0; }

    FixedText &Append(std::string_view s) {
        const std::size_t room = Capacity - 1 - len_;
        const std::size_t n = s.size() <= room ? s.size() : room;
        if (n < s.size()) overflowed_ = true;
        if (n != 0) std::memcpy(buf_ + len_, s.data(), n);
        len_ += n;
        buf_[len_] = 0;
        return *this;
    }
    FixedText &Append(const char *s) { return Append(std::string_view(s ? s : "")); }
    FixedText &Append(char c) { return Append(std::string_view(&c, 1)); }
    // Lower-case hexadecimal without prefix or leading zeros.
    FixedText &AppendHex(std::uint32_t v) {
        char digits[8];
        std::size_t n = 0;
        do {
            digits[n++] = "0123456789abcdef"[v & 0xF];
            v >>= 4;
        } while (v != 0);
        char out[8];
        for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
        return Append(std::string_view(out, n));
    }
    FixedText &AppendDecimal(std::int64_t v) {
        char out[24];
        std::size_t n = 0;
        const bool negative = v < 0;
        std::uint64_t u = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        do {
            out[sizeof out - 1 - n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (negative) out[sizeof out - 1 - n++] = '-';
        return Append(std::string_view(out + sizeof out - n, n));
    }

    const char *c_str() const { return buf_; }
    std::string_view view() const { return {buf_, len_}; }
    std::size_t size() const { return len_; }
    bool overflowed() const { return overflowed_; }

  private:
    char buf_[Capacity];
    std::size_t len_ = 0;
    bool overflowed_ = false;
};

} // namespace vex
