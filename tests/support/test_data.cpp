#include "support/test_data.h"

#include <iterator>
#include <random>
#include <sstream>

namespace vurn::test {

std::string le64(std::uint64_t value) {
  std::string bytes;
  for (int i = 0; i < 8; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

std::string header(const std::string& key_name, std::uint64_t chunk_bits) {
  return key_name + " " + le64(chunk_bits);
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::string zero_filled(const std::string& data, std::size_t chunk_bytes) {
  return data + std::string((chunk_bytes - data.size() % chunk_bytes) % chunk_bytes, '\0');
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), {}};
}

}  // namespace vurn::test
