// Expected wire bytes, built in the tests straight from the record tables and
// independently of the library's own record code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace vex::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Zeros(std::size_t n) { return Bytes(n, 0); }

inline void PutLE32(Bytes &b, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutLE16(Bytes &b, std::size_t off, std::uint16_t v) {
    b.at(off) = static_cast<std::uint8_t>(v);
    b.at(off + 1) = static_cast<std::uint8_t>(v >> 8);
}
// The text and its terminating zero.
inline void PutStr(Bytes &b, std::size_t off, const std::string &s) {
    for (std::size_t i = 0; i < s.size(); ++i) b.at(off + i) = static_cast<std::uint8_t>(s[i]);
    b.at(off + s.size()) = 0;
}
inline std::uint32_t LE32(const Bytes &b, std::size_t off) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b.at(off + i)) << (8 * i);
    return v;
}

// An 8024-byte request with the code word and lock key set, all else zero.
inline Bytes Request(std::uint32_t code, std::int32_t lock_key = 0) {
    Bytes b = Zeros(8024);
    PutLE32(b, 4, code);
    PutLE32(b, 8, static_cast<std::uint32_t>(lock_key));
    return b;
}

// Index of the first differing byte, or -1; for readable failure messages.
inline long FirstDifference(const Bytes &a, const Bytes &b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

inline void PutBE32(Bytes &b, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// A browse request as the library sends it: header words big-endian, then
// the computer name and the reply path, each with its zero.
inline Bytes BrowseRequest(const std::string &name, const std::string &reply_path) {
    Bytes b(28 + name.size() + 1 + reply_path.size() + 1, 0);
    PutBE32(b, 0, static_cast<std::uint32_t>(b.size()));
    PutBE32(b, 4, 1);
    PutBE32(b, 8, 1);
    PutBE32(b, 12, 28);
    PutBE32(b, 16, static_cast<std::uint32_t>(28 + name.size() + 1));
    std::copy(name.begin(), name.end(), b.begin() + 28);
    std::copy(reply_path.begin(), reply_path.end(), b.begin() + static_cast<std::ptrdiff_t>(29 + name.size()));
    return b;
}

// A mailslot datagram between nodes: "TWMS", version 1, path length,
// big-endian message length, path, message; built here from the format's
// table, not by the library's writer.
inline Bytes MailslotDatagram(const std::string &path, const Bytes &message) {
    const std::uint8_t head[] = {'T', 'W', 'M', 'S', 1, static_cast<std::uint8_t>(path.size()),
                                 static_cast<std::uint8_t>(message.size() >> 8),
                                 static_cast<std::uint8_t>(message.size())};
    // Sized once: g++ 12 misreads growing inserts into a vector of bytes.
    Bytes d(sizeof head + path.size() + message.size());
    std::copy(std::begin(head), std::end(head), d.begin());
    std::copy(path.begin(), path.end(), d.begin() + sizeof head);
    std::copy(message.begin(), message.end(), d.begin() + static_cast<std::ptrdiff_t>(sizeof head + path.size()));
    return d;
}

} // namespace vex::test

// Compares whole records and names the first byte that differs.
#define EXPECT_BYTES_EQ(expected, actual)                                                                    \
    EXPECT_EQ(::vex::test::FirstDifference((expected), (actual)), -1)                                       \
        << "sizes " << (expected).size() << " and " << (actual).size()
