#include "cli/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include "cli/messages.h"

namespace vurn {
namespace {

constexpr auto QUIET_START = std::chrono::seconds(1);
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(200);

}  // namespace

progress_line::progress_line(int input_fd, input_counter counter, bool data_to_stdout)
    : counter_(counter) {
  wanted_ = progress_wanted(data_to_stdout);
  if (!wanted_) return;
  struct stat st;
  const off_t position = lseek(input_fd, 0, SEEK_CUR);
  if (fstat(input_fd, &st) == 0 && S_ISREG(st.st_mode) && position >= 0 && st.st_size > position) {
    // A counter may have counted some of the input already (a compressor reads ahead).
    total_ = static_cast<std::uint64_t>(st.st_size - position) +
             (counter.count != nullptr ? counter.count(counter.context) : 0);
  }
  start_ = clock::now();
}

progress_line::~progress_line() {
  if (drawn_) erase_progress();
}

progress_hook progress_line::hook() {
  if (!wanted_) return {};
  return {on_pass, this};
}

void progress_line::on_pass(void* self, std::uint64_t input_bytes) {
  static_cast<progress_line*>(self)->update(input_bytes);
}

void progress_line::update(std::uint64_t input_bytes) {
  const clock::time_point now = clock::now();
  if (now - start_ < QUIET_START || (drawn_ && now - last_drawn_ < REDRAW_INTERVAL)) return;
  const std::uint64_t done =
      counter_.count != nullptr ? counter_.count(counter_.context) : input_bytes;
  if (done == 0 && total_ == 0) return;  // nothing known to show
  last_drawn_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  show_progress({done, total_, static_cast<double>(done) / seconds});
  drawn_ = true;
}

}  // namespace vurn
