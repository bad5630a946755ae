// Request and reply records of the task-service pipe protocol.
//
// TaskServiceRequest, always 8024 bytes:
//   OFFSET SIZE  FIELD
//        0    4  reserved, 0
//        4    4  code word: operation number (low 16 bits), modifier (high 16)
//        8    4  lock_key, signed
//       12 8012  payload
//
// TaskServiceReply, 536 or 8024 bytes:
//        8    4  lock token, signed
//       12    4  status, signed; 0 = carried out
//       20    4  value, signed
//       24  512  text, or 8000 bytes of text or data in a long reply
//
// All integers are little-endian. Records are plain byte buffers; fields are
// reached only through the named offsets below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace vex {

inline constexpr std::size_t kRequestSize = 8024;
inline constexpr std::size_t kShortReplySize = 536;
inline constexpr std::size_t kLongReplySize = 8024;

// Request field offsets.
inline constexpr std::size_t kReqCode = 4;
inline constexpr std::size_t kReqLockKey = 8;
inline constexpr std::size_t kReqPayload = 12;

// Reply field offsets.
inline constexpr std::size_t kRepLockToken = 8;
inline constexpr std::size_t kRepStatus = 12;
inline constexpr std::size_t kRepValue = 20;
inline constexpr std::size_t kRepText = 24;

// Modifiers of the code word's high half.
inline constexpr std::uint16_t kModifierNone = 0;
inline constexpr std::uint16_t kModifierCluster = 1;
inline constexpr std::uint16_t kModifierAppend = 0xFFFF; // position -1 in 16 bits

// The code word: only the low 16 bits of the modifier survive.
constexpr std::uint32_t MakeCode(std::uint16_t operation, std::uint32_t modifier) {
    return (static_cast<std::uint32_t>(modifier & 0xFFFFu) << 16) | operation;
}

// Little-endian loads and stores that need no alignment.
inline void Store32(std::uint8_t *p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void Store16(std::uint8_t *p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline std::uint32_t Load32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint16_t Load16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// A fixed-capacity byte record with typed, bounds-checked accessors. A write
// that would not fit is refused (returns false) rather than cut.
template <std::size_t Capacity> class ByteRecord {
  public:
    // memset, so that the C library's widest stores clear the 8 KB.
    void Clear() { std::memset(bytes_.data(), 0, Capacity); }

    bool PutU32(std::size_t off, std::uint32_t v) {
        if (off + 4 > Capacity) return false;
        Store32(&bytes_[off], v);
        return true;
    }
    bool PutI32(std::size_t off, std::int32_t v) { return PutU32(off, static_cast<std::uint32_t>(v)); }
    bool PutU16(std::size_t off, std::uint16_t v) {
        if (off + 2 > Capacity) return false;
        Store16(&bytes_[off], v);
        return true;
    }
    bool PutU8(std::size_t off, std::uint8_t v) {
        if (off >= Capacity) return false;
        bytes_[off] = v;
        return true;
    }
    // Copies text and its terminating zero to off; refuses when they would not fit.
    bool PutText(std::size_t off, std::string_view text) {
        if (off > Capacity || text.size() + 1 > Capacity - off) return false;
        std::memcpy(&bytes_[off], text.data(), text.size());
        bytes_[off + text.size()] = 0;
        return true;
    }
    // Copies raw bytes to off; refuses when they would not fit.
    bool PutBytes(std::size_t off, const void *src, std::size_t n) {
        if (off > Capacity || n > Capacity - off) return false;
        if (n != 0) std::memcpy(&bytes_[off], src, n);
        return true;
    }

    std::uint32_t U32(std::size_t off) const { return off + 4 <= Capacity ? Load32(&bytes_[off]) : 0; }
    std::int32_t I32(std::size_t off) const { return static_cast<std::int32_t>(U32(off)); }
    std::uint8_t U8(std::size_t off) const { return off < Capacity ? bytes_[off] : 0; }

    std::uint8_t *data() { return bytes_.data(); }
    const std::uint8_t *data() const { return bytes_.data(); }
    static constexpr std::size_t capacity() { return Capacity; }

  private:
    // Left uninitialised: every operation clears its request itself, and a
    // reply clears only the offered bytes its exchange did not fill.
    std::array<std::uint8_t, Capacity> bytes_;
};

// The fixed 8024-byte request record, zero wherever nothing was written.
// Only its first filled() bytes are kept in memory: a write past them first
// clears the gap, and every byte from filled() on reads as zero, so the rest
// is cleared once, as the record goes out (ZeroTail), and never twice.
class TaskServiceRequest : private ByteRecord<kRequestSize> {
    using Base = ByteRecord<kRequestSize>;

  public:
    // Every byte zero, none held in memory.
    TaskServiceRequest() = default;

    // Every byte zero, all of them held in memory.
    void Clear() {
        Base::Clear();
        filled_ = kRequestSize;
    }
    bool PutU32(std::size_t off, std::uint32_t v) { return Fill(off, 4) && Base::PutU32(off, v); }
    bool PutI32(std::size_t off, std::int32_t v) { return PutU32(off, static_cast<std::uint32_t>(v)); }
    bool PutU16(std::size_t off, std::uint16_t v) { return Fill(off, 2) && Base::PutU16(off, v); }
    bool PutU8(std::size_t off, std::uint8_t v) { return Fill(off, 1) && Base::PutU8(off, v); }
    bool PutText(std::size_t off, std::string_view text) {
        return text.size() < kRequestSize && Fill(off, text.size() + 1) && Base::PutText(off, text);
    }
    bool PutBytes(std::size_t off, const void *src, std::size_t n) { return Fill(off, n) && Base::PutBytes(off, src, n); }
    // The bytes [off, off + n), zero, for a writer that fills them in place
    // (and must write nothing outside them); empty when they do not fit.
    std::span<std::uint8_t> Area(std::size_t off, std::size_t n) {
        if (!Fill(off, n)) return {};
        std::memset(Base::data() + off, 0, n);
        return {Base::data() + off, n};
    }

    std::uint32_t U32(std::size_t off) const {
        return off + 4 <= filled_ ? Base::U32(off) : off + 4 <= kRequestSize ? Load32(Bytes(off, 4).data()) : 0;
    }
    std::int32_t I32(std::size_t off) const { return static_cast<std::int32_t>(U32(off)); }
    std::uint8_t U8(std::size_t off) const { return off < filled_ ? Base::U8(off) : 0; }

    // The bytes held in memory: data()[0, filled()); the rest are zero.
    std::size_t filled() const { return filled_; }
    const std::uint8_t *data() const { return Base::data(); }
    // Clears the bytes from filled() on, so that data() holds the whole record.
    void ZeroTail() {
        if (filled_ < kRequestSize) std::memset(Base::data() + filled_, 0, kRequestSize - filled_);
        filled_ = kRequestSize;
    }

    void SetCode(std::uint32_t code) { PutU32(kReqCode, code); }
    std::uint32_t Code() const { return U32(kReqCode); }
    // Changes the operation number and keeps the modifier.
    void SetOperation(std::uint16_t operation) { PutU16(kReqCode, operation); }
    void SetLockKey(std::int32_t key) { PutI32(kReqLockKey, key); }
    static constexpr std::size_t size() { return kRequestSize; }

  private:
    // Makes [off, off + n) writable: clears the gap between the bytes held
    // and off. False, changing nothing, when the bytes do not fit.
    bool Fill(std::size_t off, std::size_t n) {
        if (off > kRequestSize || n > kRequestSize - off) return false;
        if (off > filled_) std::memset(Base::data() + filled_, 0, off - filled_);
        if (off + n > filled_) filled_ = off + n;
        return true;
    }
    // Four bytes at off (inside the record) with those not held read as zero.
    std::array<std::uint8_t, 4> Bytes(std::size_t off, std::size_t n) const {
        std::array<std::uint8_t, 4> b{};
        for (std::size_t i = 0; i < n; ++i)
            if (off + i < filled_) b[i] = Base::data()[off + i];
        return b;
    }

    std::size_t filled_ = 0;
};

// The reply record. Storage always holds the long form; size() is the number
// of bytes offered to the pipe, fixed per operation.
class TaskServiceReply : public ByteRecord<kLongReplySize> {
  public:
    explicit TaskServiceReply(std::size_t size) : size_(size <= kLongReplySize ? size : kLongReplySize) {}
    std::size_t size() const { return size_; }
    // Clears the offered bytes; nothing past them is ever read.
    void Clear() { std::memset(data(), 0, size_); }
    // Clears the offered bytes from offset received on: what an exchange that
    // filled the first received bytes did not send reads as zero, as if the
    // whole record had been cleared before it.
    void ClearFrom(std::size_t received) {
        if (received < size_) std::memset(data() + received, 0, size_ - received);
    }

    std::int32_t Status() const { return I32(kRepStatus); }
    std::int32_t Value() const { return I32(kRepValue); }
    // The value word's low half, sign-extended.
    std::int32_t Value16() const {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(U32(kRepValue) & 0xFFFFu));
    }
    std::int32_t LockToken() const { return I32(kRepLockToken); }
    // The text at offset 24: up to its first zero byte or the end of the reply.
    std::string_view Text() const { return TextAt(kRepText); }
    std::string_view TextAt(std::size_t off) const {
        if (off >= size_) return {};
        const auto *begin = reinterpret_cast<const char *>(data() + off);
        const std::size_t room = size_ - off;
        const void *nul = std::memchr(begin, 0, room);
        return {begin, nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - begin) : room};
    }
    // The data area from offset 24 to the end of the reply.
    const std::uint8_t *DataArea() const { return data() + kRepText; }
    std::size_t DataAreaSize() const { return size_ - kRepText; }

  private:
    std::size_t size_;
};

} // namespace vex
