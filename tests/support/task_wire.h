// Task records and their expected requests, built side by side in the tests
// from the literal offsets of the record and payload tables.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/fake_service.h"
#include "tests/support/wire.h"

namespace vex::test {

// One field: its record offset, its request offset in the operation's form,
// its width (texts) and its presence bit.
struct Slot {
    const char *name;
    std::size_t rec;
    std::size_t req;
    std::size_t width;
    std::uint32_t bit;
};

// A caller's record and the request the library should send for it.
class TaskCase {
  public:
    TaskCase(std::size_t record_size, std::uint32_t code, std::int32_t lock_key = 0)
        : record_(record_size, 0), expected_(Request(code, lock_key)) {}

    // A text in the record and, with its NUL, at its request offset.
    TaskCase &Text(const Slot &s, const std::string &text) {
        RecordText(s, text);
        PutStr(expected_, s.req, text);
        return *this;
    }
    // A text only in the record: the operation does not send it.
    TaskCase &RecordText(const Slot &s, const std::string &text) {
        std::memset(&record_.at(s.rec), 0, s.width);
        std::memcpy(&record_.at(s.rec), text.data(), text.size());
        return *this;
    }
    // Fills a text field to its last byte, leaving it no NUL.
    TaskCase &Unterminated(const Slot &s) {
        std::memset(&record_.at(s.rec), 'u', s.width);
        return *this;
    }
    TaskCase &Int(const Slot &s, std::int32_t v) {
        RecordInt(s, v);
        PutLE32(expected_, s.req, static_cast<std::uint32_t>(v));
        return *this;
    }
    // Integers are kept in the caller's byte order, little-endian here.
    TaskCase &RecordInt(const Slot &s, std::int32_t v) {
        PutLE32(record_, s.rec, static_cast<std::uint32_t>(v));
        return *this;
    }
    TaskCase &Byte(const Slot &s, std::uint8_t v) {
        record_.at(s.rec) = v;
        expected_.at(s.req) = v;
        return *this;
    }
    // The suffix slot of the request (the record's own slot is never read).
    TaskCase &Suffix(std::size_t req, const std::string &suffix) {
        PutStr(expected_, req, suffix);
        return *this;
    }
    TaskCase &Flags16(std::uint16_t flags) {
        PutLE16(expected_, 12, flags);
        return *this;
    }
    TaskCase &Flags32(std::uint32_t flags) {
        PutLE32(expected_, 12, flags);
        return *this;
    }

    const void *record() const { return record_.data(); }
    const Bytes &expected() const { return expected_; }

  private:
    Bytes record_;
    Bytes expected_;
};

// The refusal convention: returns 0 with exactly this message, sends nothing
// and leaves value and status as they were. call(value, status, msg, len).
template <class Call> void ExpectRefused(const FakeService &svc, const std::string &message, Call call) {
    const std::size_t before = svc.RequestCount();
    std::int32_t value = 1234, status = 5678;
    char msg[160];
    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(call(&value, &status, msg, static_cast<std::int32_t>(sizeof msg)), 0);
    EXPECT_EQ(std::string(msg), message);
    EXPECT_EQ(value, 1234);
    EXPECT_EQ(status, 5678);
    EXPECT_EQ(svc.RequestCount(), before) << "a refused call sent a request";
}

// A unique suffix of exactly n characters.
inline std::string SuffixOfLength(std::size_t n) {
    std::string s = UniqueSuffix("w");
    s.resize(n, 'W');
    return s;
}

// A text of n characters that shows where it starts and ends.
inline std::string Filler(std::size_t n, char first) {
    std::string s(n, first);
    if (n > 1) s.back() = 'Z';
    return s;
}

} // namespace vex::test
