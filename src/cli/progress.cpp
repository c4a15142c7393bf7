#include "cli/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/messages.h"

namespace vurn {
namespace {

constexpr auto QUIET_START = std::chrono::seconds(1);
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(200);
constexpr char ERASE_LINE[] = "\r\033[K";

progress_line* active = nullptr;  // the line say() erases

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

}  // namespace

progress_line::progress_line(int input_fd, bool counted_by_body) : input_fd_(input_fd) {
  if (isatty(STDERR_FILENO) != 1) return;
  struct stat st;
  positioned_ =
      fstat(input_fd, &st) == 0 && S_ISREG(st.st_mode) && lseek(input_fd, 0, SEEK_CUR) >= 0;
  if (positioned_) total_ = static_cast<std::uint64_t>(st.st_size);
  wanted_ = positioned_ || counted_by_body;
  start_ = clock::now();
  active = this;
  set_line_eraser(erase_current);
}

progress_line::~progress_line() {
  erase();
  if (active == this) {
    active = nullptr;
    set_line_eraser(nullptr);
  }
}

progress_hook progress_line::hook() {
  if (!wanted_) return {};
  return {on_pass, this};
}

void progress_line::on_pass(void* self, std::uint64_t input_bytes) {
  static_cast<progress_line*>(self)->update(input_bytes);
}

void progress_line::erase_current() {
  if (active != nullptr) active->erase();
}

void progress_line::update(std::uint64_t input_bytes) {
  const clock::time_point now = clock::now();
  if (now - start_ < QUIET_START || (shown_ && now - last_drawn_ < REDRAW_INTERVAL)) return;
  last_drawn_ = now;
  std::uint64_t done = input_bytes;
  if (positioned_) {
    const off_t position = lseek(input_fd_, 0, SEEK_CUR);
    if (position >= 0) done = static_cast<std::uint64_t>(position);
  }
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = static_cast<double>(done) / seconds;
  std::string line = ERASE_LINE + amount(static_cast<double>(done));
  if (total_ > 0) line += " of " + amount(static_cast<double>(total_));
  line += ", " + amount(rate) + "/s";
  if (total_ > done && rate > 0) {
    line += ", " + duration(static_cast<double>(total_ - done) / rate) + " left";
  }
  std::fputs(line.c_str(), stderr);
  shown_ = true;
}

void progress_line::erase() {
  if (!shown_) return;
  std::fputs(ERASE_LINE, stderr);
  shown_ = false;
}

}  // namespace vurn
