// Data the tests share: a key file's digits, container headers and input bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vurn::test {

// The 256-bit key of FIPS-197 appendix C.3, as a key file holds it.
inline const std::string KEY_HEX =
    "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";

// value as 8 little-endian bytes, as the container's chunk-size field holds it.
std::string le64(std::uint64_t value);

// A container header as encryption writes it: the key name, one space, the chunk-size field.
std::string header(const std::string& key_name, std::uint64_t chunk_bits = 256);

// size bytes that look random and are the same for the same seed.
std::string random_bytes(std::size_t size, unsigned seed = 1);

// data zero-filled to a whole number of chunks of chunk_bytes, as a container's body holds it.
std::string zero_filled(const std::string& data, std::size_t chunk_bytes = 32);

// The words of line, split at blanks: a command's arguments written as one line.
std::vector<std::string> words(const std::string& line);

}  // namespace vurn::test
