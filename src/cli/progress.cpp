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

progress_line::progress_line(int input_fd, input_counter counter) : counter_(counter) {
  wanted_ = isatty(STDERR_FILENO) == 1;
  if (!wanted_) return;
  struct stat st;
  const off_t position = lseek(input_fd, 0, SEEK_CUR);
  if (fstat(input_fd, &st) == 0 && S_ISREG(st.st_mode) && position >= 0 && st.st_size > position) {
    // A counter may have counted some of the input already (a compressor reads ahead).
    total_ = static_cast<std::uint64_t>(st.st_size - position) +
             (counter.count != nullptr ? counter.count(counter.context) : 0);
  }
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
  const std::uint64_t done =
      counter_.count != nullptr ? counter_.count(counter_.context) : input_bytes;
  if (done == 0 && total_ == 0) return;  // nothing known to show
  last_drawn_ = now;
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
