#include "cli/options.h"

#include <getopt.h>

#include <array>
#include <cstdlib>

#include <vurn/cipher.h>
#include "cli/messages.h"

namespace vurn {
namespace {

constexpr const char* SHORT_OPTIONS = "Vzivhcm:k:b:f:deK:o:r";

// --stdout takes an argument although -c does not; the argument is accepted and ignored.
constexpr option LONG_OPTIONS[] = {
    {"version", no_argument, nullptr, 'V'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"encrypt", no_argument, nullptr, 'e'},
    {"decrypt", no_argument, nullptr, 'd'},
    {"key", required_argument, nullptr, 'k'},
    {"make_key", required_argument, nullptr, 'm'},
    {"blocksize", required_argument, nullptr, 'b'},
    {"keysize", required_argument, nullptr, 'K'},
    {"stdout", required_argument, nullptr, 'c'},
    {nullptr, 0, nullptr, 0},
};

// Which command wins when several are asked for.
constexpr command PRECEDENCE[] = {command::help, command::version, command::make_key,
                                  command::encrypt, command::decrypt};

using requests = std::array<bool, std::size(PRECEDENCE)>;

command chosen(const requests& asked) {
  for (std::size_t i = 0; i < asked.size(); ++i) {
    if (asked[static_cast<std::size_t>(PRECEDENCE[i])]) return PRECEDENCE[i];
  }
  return command::none;
}

// Base 10 with leading blanks and a sign, stopping at the first non-digit (an empty number is 0);
// the low 32 bits are kept as a signed value, so 4294967424 reads as 128.
std::int32_t parse_bits(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
}

// Reads a -K or -b value into bits; false after a message.
bool take_size(const char* text, std::int32_t& bits, const char* missing, const char* illegal) {
  if (text == nullptr) {
    say("%s", missing);
    return false;
  }
  const std::int32_t value = parse_bits(text);
  if (!is_valid_bit_size(value)) {
    say("%s", illegal);
    return false;
  }
  bits = value;
  return true;
}

// Applies one option returned by getopt_long; false after a usage error's messages.
bool apply_option(int letter, settings& with, requests& asked) {
  const auto ask = [&](command c) { asked[static_cast<std::size_t>(c)] = true; };
  switch (letter) {
    case 'K':
      return take_size(optarg, with.key_bits, text::NO_KEY_LENGTH, text::ILLEGAL_KEY_LENGTH);
    case 'b':
      return take_size(optarg, with.chunk_bits, text::NO_BLOCK_LENGTH, text::ILLEGAL_BLOCK_LENGTH);
    case 'V':
      ask(command::version);
      break;
    case 'h':
      ask(command::help);
      break;
    case 'e':
      ask(command::encrypt);
      break;
    case 'd':
      ask(command::decrypt);
      break;
    case 'm':  // -m and -k name the same path: the last one named wins
      ask(command::make_key);
      with.key_path = optarg;
      break;
    case 'k':
      with.key_path = optarg;
      break;
    case 'v':
      with.verbose = true;
      break;
    case 'c':
      with.to_stdout = true;
      break;
    case 'i':
      with.interactive = false;
      break;
    case 'z':
      with.compress = true;
      break;
    case 'r':
      with.recursive = true;
      break;
    case 'o':
      with.output_path = optarg;
      break;
    default:  // unknown letters, -f, and the parser's own '?' and ':'
      say(text::HELP);
      return false;
  }
  return true;
}

}  // namespace

parse_result parse_options(int argc, char* argv[]) {
  parse_result result;
  requests asked{};
  optind = 0;  // 0 rather than 1 makes glibc start afresh, re-reading POSIXLY_CORRECT
  int letter;
  while ((letter = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
    if (!apply_option(letter, result.line.with, asked)) {
      result.exit_status = 1;
      return result;
    }
  }
  result.line.with.inputs.assign(argv + optind, argv + argc);
  result.line.what = chosen(asked);
  return result;
}

}  // namespace vurn
