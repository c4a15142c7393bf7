#include "cli/messages.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vurn {
namespace {

const char* program = "vurn";

// The progress line on show: its length, or 0 when none is.
std::size_t progress_shown = 0;

// The file whose name goes before the next message; empty when none does.
std::string file_label;

// Names longer than this are shown by their end in the progress line.
constexpr std::size_t SHOWN_NAME_MAX = 40;

constexpr char ERASE_LINE[] = "\r\033[K";

void append_octal_escape(std::string& shown, unsigned char byte) {
  const char escaped[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                          static_cast<char>('0' + ((byte >> 3) & 7)),
                          static_cast<char>('0' + (byte & 7))};
  shown.append(escaped, sizeof escaped);
}

// The length of the valid UTF-8 sequence that starts text, or 0 when it starts with none: no
// overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

bool is_control(std::string_view character) {
  const auto lead = static_cast<unsigned char>(character[0]);
  if (character.size() == 1) return lead < 0x20 || lead == 0x7F;
  return lead == 0xC2 && static_cast<unsigned char>(character[1]) <= 0x9F;  // U+0080 to U+009F
}

// bytes with a binary unit and one decimal, e.g. "12.3 MiB".
std::string amount(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(units)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

std::string duration(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  }
  return text;
}

// Whether the terminal on standard error takes escape sequences.
bool terminal_has_escapes() {
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

// Replaces the line on show by text: with an escape that clears the line, or else by padding a
// shorter text with blanks over what was there.
void draw_line(const std::string& text) {
  std::string line = "\r";
  if (terminal_has_escapes()) {
    line.assign(ERASE_LINE);
  } else if (text.size() < progress_shown) {
    line.append(progress_shown, ' ');
    line.push_back('\r');
  }
  line.append(text);
  std::fputs(line.c_str(), stderr);
  progress_shown = text.size();
}

// Appends what printf would write for format and arguments.
__attribute__((format(printf, 2, 0))) void append_formatted(std::string& text, const char* format,
                                                            va_list arguments) {
  va_list counting;
  va_copy(counting, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  if (length <= 0) return;
  const std::size_t start = text.size();
  text.resize(start + static_cast<std::size_t>(length) + 1);
  std::vsnprintf(text.data() + start, static_cast<std::size_t>(length) + 1, format, arguments);
  text.pop_back();
}

__attribute__((format(printf, 2, 3))) void append_formatted(std::string& text, const char* format,
                                                            ...) {
  va_list arguments;
  va_start(arguments, format);
  append_formatted(text, format, arguments);
  va_end(arguments);
}

// The end of name, at most SHOWN_NAME_MAX bytes of it, starting at a character's first byte.
std::string shortened(std::string_view name) {
  if (name.size() <= SHOWN_NAME_MAX) return std::string(name);
  std::size_t start = name.size() - SHOWN_NAME_MAX + 3;
  while (start < name.size() && (static_cast<unsigned char>(name[start]) & 0xC0) == 0x80) ++start;
  std::string shown = "...";
  shown.append(name.substr(start));
  return shown;
}

}  // namespace

void say(const char* format, ...) {
  erase_progress();
  // One write for the file's line and the message, so that they reach the reader together.
  std::string message;
  message.swap(file_label);
  va_list arguments;
  va_start(arguments, format);
  append_formatted(message, format, arguments);
  va_end(arguments);
  std::fwrite(message.data(), 1, message.size(), stderr);
}

void set_program_name(const char* name) {
  if (name != nullptr) program = name;
}

const char* program_name() {
  return program;
}

std::string printable(std::string_view name) {
  std::string shown;
  while (!name.empty()) {
    const std::size_t length = utf8_length(name);
    const std::string_view character = name.substr(0, std::max<std::size_t>(length, 1));
    if (length != 0 && !is_control(character)) {
      shown += character;
    } else {
      for (const char c : character) append_octal_escape(shown, static_cast<unsigned char>(c));
    }
    name.remove_prefix(character.size());
  }
  return shown;
}

bool progress_wanted(bool data_to_stdout) {
  return isatty(STDERR_FILENO) == 1 && !(data_to_stdout && isatty(STDOUT_FILENO) == 1);
}

void begin_file(const char* name) {
  file_label.clear();
  if (name != nullptr) append_formatted(file_label, text::FILE_LABEL, printable(name).c_str());
}

void show_progress(const progress_figures& figures) {
  std::string text;
  if (figures.file_number != 0) {
    text = std::to_string(figures.file_number);
    if (figures.file_count != 0) text += " of " + std::to_string(figures.file_count);
    text.push_back(' ');
    text.append(shortened(printable(figures.file_name)));
    text.append(": ");
  }
  text += amount(static_cast<double>(figures.done));
  if (figures.total > 0) text += " of " + amount(static_cast<double>(figures.total));
  text += ", " + amount(figures.rate) + "/s";
  if (figures.total > figures.done && figures.rate > 0) {
    text +=
        ", " + duration(static_cast<double>(figures.total - figures.done) / figures.rate) + " left";
  }
  draw_line(text);
}

void erase_progress() {
  if (progress_shown == 0) return;
  if (terminal_has_escapes()) {
    std::fputs(ERASE_LINE, stderr);
  } else {
    std::string blank(progress_shown + 2, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    std::fputs(blank.c_str(), stderr);
  }
  progress_shown = 0;
}

}  // namespace vurn
