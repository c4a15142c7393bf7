#include "cli/key_source.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <span>

#include "cli/messages.h"
#include "cli/reports.h"
#include "container/format.h"
#include "fileio/wipe.h"

namespace vurn {
namespace {

constexpr std::size_t PROMPTED_NAME_MAX = 99;

// Asks for the key file name on standard error and reads one word from standard input. The byte
// after the word stays unread: when the data comes from standard input too, it begins there.
bool ask_for_key_name(std::string& name) {
  say(text::KEY_PROMPT);
  int c;
  do c = std::getc(stdin);
  while (c != EOF && is_header_space(c));
  while (c != EOF && !is_header_space(c)) {
    if (name.size() == PROMPTED_NAME_MAX) {
      say(text::PROMPTED_NAME_TOO_LONG);
      return false;
    }
    name += static_cast<char>(c);
    c = std::getc(stdin);
  }
  if (c != EOF) {
    std::ungetc(c, stdin);
  } else if (std::ferror(stdin)) {
    report_stdin_read_error(errno);
    return false;
  }
  if (name.empty()) {
    say(text::NO_PROMPTED_NAME);
    return false;
  }
  return true;
}

// Creates a fresh key file named after the current time, "keyfile.<seconds>", or the first free
// "keyfile.<seconds>.<n>" when that name is taken. Each name is created exclusively, so runs
// started at the same moment each end up with a key file of their own.
bool make_fresh_key_file(int bits, std::string& name, made_key_file& made) {
  std::array<char, KEY_TEXT_MAX> digits{};
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(digits))};
  if (!report(make_key_digits(bits, digits), nullptr)) return false;
  const std::span<const char> key(digits.data(), static_cast<std::size_t>(bits / 4));
  const std::string stem =
      "keyfile." + std::to_string(static_cast<std::int32_t>(std::time(nullptr)));
  name = stem;
  key_file_result written = write_key_file(key, name.c_str());
  for (int n = 1; written.error == key_file_error::exists && n < INT_MAX; ++n) {
    name = stem + "." + std::to_string(n);
    written = write_key_file(key, name.c_str());
  }
  if (!report(written, name.c_str())) return false;
  made.made(name);
  say(text::KEY_GENERATED, bits, name.c_str());
  return true;
}

// A container stores the key name up to its first white space, so such a name cannot be read back.
bool storable(const char* key_path) {
  const std::string_view name(key_path);
  if (std::none_of(name.begin(), name.end(), [](char c) { return is_header_space(c); })) {
    return true;
  }
  say(text::KEY_NAME_HOLDS_SPACE, key_path);
  return false;
}

}  // namespace

key_material::~key_material() {
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(digits))};
}

made_key_file::~made_key_file() {
  if (!name_.empty()) remove_if_same(name_.c_str(), id_);
}

void made_key_file::made(const std::string& name) {
  if (file_id_of(name.c_str(), id_).ok()) name_ = name;
}

key_outcome obtain_encryption_key(const settings& with, key_material& key, made_key_file& made) {
  std::string name;
  if (with.key_path != nullptr) {
    if (!storable(with.key_path)) return key_outcome::unusable_name;
    name = with.key_path;
  } else {
    const bool named =
        with.interactive ? ask_for_key_name(name) : make_fresh_key_file(with.key_bits, name, made);
    if (!named) {
      say(text::NO_KEY);
      return key_outcome::unreadable;
    }
  }
  const key_outcome read = read_named_key(name.c_str(), key);
  if (read != key_outcome::ready) say(text::NO_KEY);
  return read;
}

key_outcome read_named_key(const char* path, key_material& key) {
  const key_file_result read = read_key_file(path, key.digits);
  key.bits = read.bits;
  key.name = path;
  return report(read, printable(path).c_str()) ? key_outcome::ready : key_outcome::unreadable;
}

key_outcome read_stored_key(const std::string& stored_name, const char* input_name,
                            key_material& key) {
  const std::string shown = printable(stored_name);
  say(text::STORED_KEY_NAME, shown.c_str());
  // As a path the name would end at its first NUL byte and open another file than it says.
  if (stored_name.find('\0') != std::string::npos) {
    say(text::STORED_NAME_HOLDS_NUL, input_name);
    return key_outcome::unusable_name;
  }
  const key_outcome read = read_named_key(stored_name.c_str(), key);
  say(text::STORED_KEY_READ, key.bits, shown.c_str());
  return read;
}

}  // namespace vurn
