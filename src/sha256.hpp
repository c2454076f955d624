// SHA-256 (FIPS 180-4) of a stream of bytes: the digest by which the edit
// knows that the table it replaces is, byte for byte, the one the check
// read. `sha256sum` prints the same digest, on coreutils and BusyBox alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ttyenable {

/// The length of a digest in hex, as `sha256sum` prints it.
inline constexpr std::size_t sha256_hex_size = 64;

class sha256 {
 public:
  sha256();
  /// Adds `size` bytes at `data`.
  void update(const void* data, std::size_t size);
  /// The digest of every byte added, in lowercase hex; the object is spent.
  std::string hex_digest();

 private:
  void compress(const unsigned char* block);

  std::uint32_t state_[8];
  unsigned char block_[64];
  std::size_t used_ = 0;       // bytes waiting in block_
  std::uint64_t length_ = 0;   // bytes added in all
};

}  // namespace ttyenable
