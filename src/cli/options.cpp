#include "cli/options.h"

#include <getopt.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/process.h"
#include "fileio/wipe.h"
#include "keyfile/keyfile.h"

namespace vurn {

const char HELP_TEXT[] =
    "molvex: help\n"
    "usage: [options] [file]\n"
    "   --help : This help message\n"
    "   --version : Show current version\n"
    "   -c, --stdout : write to standard output, original files remain unchanged\n"
    "   -v : show optional messages\n"
    "   -k <keyfile> : set keyfile, if left off will look in stdin\n"
    "   -e : create vurn file by encrypting\n"
    "   -d : decrypt vurn file (either x or c required)\n"
    "   -b <num> :  set blocksize in bits (optional) default=256\n"
    "   -K <num> :  set keysize in bits (optional) default=256 \n"
    "   -o <file> : set output file\n"
    "   -z : use compression \n"
    "   -i : Turn off interactivity, namely won't prompt you for keyname.\n"
    "   -m <keyfile> : create keyfile (required) and exit\n";

namespace {

constexpr const char* SHORT_OPTIONS = "Vzivhcm:k:b:f:deK:o:";

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

constexpr const char* VERSION = "1.02";

void print_help() {
  std::fputs(HELP_TEXT, stderr);
}

// Base 10 with leading blanks and a sign, stopping at the first non-digit (an empty number is 0);
// the low 32 bits are kept as a signed value, so 4294967424 reads as 128.
std::int32_t parse_bits(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
}

bool is_valid_size(std::int32_t bits) {
  return bits == 128 || bits == 192 || bits == 256;
}

// Reads a -K or -b value into *bits. Returns PARSE_OK or the exit status after a message.
int take_size(const char* text, std::int32_t* bits, const char* missing, const char* illegal) {
  if (text == nullptr) {
    std::fputs(missing, stderr);
    return 1;
  }
  const std::int32_t value = parse_bits(text);
  if (!is_valid_size(value)) {
    std::fputs(illegal, stderr);
    return 1;
  }
  *bits = value;
  return PARSE_OK;
}

// Applies one option returned by getopt_long. Returns PARSE_OK or an exit status.
int apply_option(int letter, run_options* options) {
  switch (letter) {
    case 'K':
      return take_size(optarg, &options->key_size,
                       "Error in getting key length\nusage: vurn -K <key length> [options]\n",
                       "Illegal key length option, must be 128, 192, or 256 bits\n");
    case 'b':
      return take_size(optarg, &options->block_size,
                       "Error in getting block length\nusage: vurn -b <block length> [options]\n",
                       "Illegal block length option, must be 128, 192, or 256 bits\n");
    case 'V':
      options->version = true;
      break;
    case 'v':
      options->verbose = true;
      break;
    case 'h':
      options->help = true;
      break;
    case 'e':
      options->encrypt = true;
      break;
    case 'd':
      options->decrypt = true;
      break;
    case 'c':
      options->to_stdout = true;
      break;
    case 'i':
      options->interactive = false;
      break;
    case 'z':
      options->compressor = "gzip";
      break;
    case 'm':
      options->make_key = true;
      options->key_path = optarg;
      break;
    case 'k':
      options->key_path = optarg;
      break;
    case 'o':
      options->output_given = true;
      options->output_path = optarg;
      break;
    default:  // unknown letters, -f, and the parser's own '?' and ':'
      print_help();
      return 1;
  }
  return PARSE_OK;
}

int make_key(const run_options& options) {
  std::array<char, KEY_TEXT_MAX> key_text{};
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(key_text))};
  if (generate_key_file(options.key_size, key_text.data(), options.key_path) == 0) {
    std::fputs("Error creating key\n", stderr);
    return 1;
  }
  if (options.verbose) std::fprintf(stderr, "%d bit key created successfully\n", options.key_size);
  return 0;
}

int dispatch(const run_options& options, const char* program_name) {
  if (options.help) {
    print_help();
    return 0;
  }
  if (options.version) {
    std::fprintf(stderr, "Molvex version %s\n", VERSION);
    return 0;
  }
  prepare_process();  // every command from here on writes files
  if (options.make_key) return make_key(options);
  if (options.encrypt) return run_encrypt_command(options);
  if (options.decrypt) return run_decrypt_command(options, program_name);
  std::fputs("You forgot to put whether you want to encrypt or decrypt\n", stderr);
  print_help();
  return 1;
}

}  // namespace

int parse_options(int argc, char* argv[], run_options* options) {
  *options = run_options{};
  optind = 0;  // 0 rather than 1 makes glibc start afresh, re-reading POSIXLY_CORRECT
  int letter;
  while ((letter = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
    const int status = apply_option(letter, options);
    if (status != PARSE_OK) return status;
  }
  if (optind < argc) options->input_path = argv[optind];
  return PARSE_OK;
}

int run_vurn(int argc, char* argv[]) {
  if (argc == 1) {
    std::fputs("vurn: missing options( \"vurn --help\" for help\nsample usage: vurn [options] \n",
               stderr);
    return 1;
  }
  run_options options;
  const int status = parse_options(argc, argv, &options);
  if (status != PARSE_OK) return status;
  return dispatch(options, argv[0]);
}

}  // namespace vurn
