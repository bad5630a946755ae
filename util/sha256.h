// SHA-256 (FIPS 180-4), incremental, without allocation. Used where a name too
// long for its system object is replaced by a digest of it: the digest must be
// the same in every program that meets the name, and collisions out of reach.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vex::util {

class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(const void *data, std::size_t size);
    void Update(std::string_view text) { Update(text.data(), text.size()); }
    // The digest of everything given so far; the object is spent afterwards.
    Digest Finish();

    static Digest Of(std::string_view text) {
        Sha256 h;
        h.Update(text);
        return h.Finish();
    }

  private:
    void Compress(const std::uint8_t *block);

    std::uint32_t state_[8];
    std::uint8_t block_[64];
    std::size_t used_ = 0;   // bytes waiting in block_
    std::uint64_t total_ = 0; // bytes given, for the length field
};

} // namespace vex::util
