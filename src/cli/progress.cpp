#include "cli/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include "cli/messages.h"

namespace vurn {
namespace {

constexpr auto QUIET_START = std::chrono::seconds(1);
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(200);

}  // namespace

run_progress::run_progress(bool counted, std::size_t file_count)
    : counted_(counted), file_count_(file_count) {}

run_progress::~run_progress() {
  if (drawn_) erase_progress();
}

void run_progress::begin_file(const char* name) {
  ++file_number_;
  file_name_ = name;
}

progress_line::progress_line(run_progress& run, int input_fd, input_counter counter,
                             bool data_to_stdout)
    : run_(run), counter_(counter) {
  wanted_ = progress_wanted(data_to_stdout);
  if (!wanted_) return;
  struct stat st;
  const off_t position = lseek(input_fd, 0, SEEK_CUR);
  if (fstat(input_fd, &st) == 0 && S_ISREG(st.st_mode) && position >= 0 && st.st_size > position) {
    // A counter may have counted some of the input already (a compressor reads ahead).
    total_ = static_cast<std::uint64_t>(st.st_size - position) +
             (counter.count != nullptr ? counter.count(counter.context) : 0);
  }
}

progress_line::~progress_line() {
  run_.bytes_before_ += done_;
}

progress_hook progress_line::hook() {
  if (!wanted_) return {};
  return {on_pass, this};
}

void progress_line::on_pass(void* self, std::uint64_t input_bytes) {
  static_cast<progress_line*>(self)->update(input_bytes);
}

void progress_line::update(std::uint64_t input_bytes) {
  done_ = counter_.count != nullptr ? counter_.count(counter_.context) : input_bytes;
  const run_progress::clock::time_point now = run_progress::clock::now();
  if (now - run_.start_ < QUIET_START ||
      (run_.drawn_ && now - run_.last_drawn_ < REDRAW_INTERVAL)) {
    return;
  }
  if (done_ == 0 && total_ == 0 && !run_.counted_) return;  // nothing known to show
  run_.last_drawn_ = now;
  const double seconds = std::chrono::duration<double>(now - run_.start_).count();
  progress_figures figures;
  if (run_.counted_) {
    figures.file_number = run_.file_number_;
    figures.file_count = run_.file_count_;
    figures.file_name = run_.file_name_;
  }
  figures.done = done_;
  figures.total = total_;
  figures.rate = static_cast<double>(run_.bytes_before_ + done_) / seconds;
  show_progress(figures);
  run_.drawn_ = true;
}

}  // namespace vurn
