#include "container/body.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <semaphore>
#include <span>
#include <system_error>
#include <thread>

#include "container/engine.h"
#include "fileio/termination.h"
#include "fileio/wipe.h"

namespace vurn {
namespace {

// Bytes moved per stdio call and transformed in place per chunk-routine call: large enough that
// system calls and per-call set-up are a small share of the work, and about the size of a
// second-level cache. Each pass uses the largest whole number of chunks that fits (16 bytes less
// for 24-byte chunks). The buffer starts on a page boundary: the kernel copies file
// data into a misaligned buffer at a fraction of the speed.
constexpr std::size_t IO_BUFFER_SIZE = 1024 * 1024;
constexpr std::size_t IO_BUFFER_ALIGNMENT = 4096;
static_assert(IO_BUFFER_SIZE % LARGEST_CHUNK == 0 && IO_BUFFER_SIZE % IO_BUFFER_ALIGNMENT == 0);
// A pipe holds 64 KiB (Linux's default capacity). When the input or output is a pipe, a socket or
// a terminal, each pass is at most that much: the programs at the other ends then fill and drain
// their pipes while this one transforms, instead of waiting on a full or empty pipe in turn.
constexpr std::size_t STREAM_PASS_SIZE = 64 * 1024;
static_assert(STREAM_PASS_SIZE <= IO_BUFFER_SIZE);

struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};

// 0, or the errno of the failed write.
int write_bytes(std::FILE* output, const void* data, std::size_t size) {
  if (size == 0 || std::fwrite(data, 1, size, output) == size) return 0;
  return errno != 0 ? errno : EIO;
}

bool is_stream(std::FILE* file) {
  const int fd = fileno(file);
  struct stat st;
  return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || isatty(fd));
}

bool is_regular_file(std::FILE* file) {
  struct stat st;
  return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}

// The bytes one pass reads and transforms: whole chunks only.
std::size_t pass_size(std::FILE* in, std::FILE* out, std::size_t chunk) {
  const bool streamed = is_stream(in) || is_stream(out);
  const std::size_t limit = streamed ? STREAM_PASS_SIZE : IO_BUFFER_SIZE;
  return limit - limit % chunk;
}

// Writes passes on a thread of its own while the caller reads and transforms the next one, so that
// the kernel's copy of one pass into the output file's pages runs beside the cipher's work on the
// next (on a machine with a core to spare). One pass is in flight at a time, and its buffer stays
// untouched until the next hand_over() or the destructor. The thread writes through the same FILE
// as the caller, and only while the caller leaves it alone, so the bytes keep their order. It runs
// with every signal blocked: signals reach the main thread as they would without it. When no
// thread is wanted or none can be started, hand_over() writes the pass itself.
class pass_writer {
 public:
  pass_writer(std::FILE* output, bool threaded) : output_(output) {
    if (!threaded) return;
    const all_signals_blocked blocked;
    try {
      thread_ = std::thread([this] { write_passes(); });
    } catch (const std::system_error&) {
      // No thread: hand_over() writes each pass before it returns.
    }
  }
  ~pass_writer() {
    if (!running()) return;
    wait();
    stop_ = true;
    work_.release();
    thread_.join();
  }
  pass_writer(const pass_writer&) = delete;
  pass_writer& operator=(const pass_writer&) = delete;

  // Whether passes are written behind the caller's back, so that it must fill another buffer.
  bool running() const { return thread_.joinable(); }

  // Waits for the pass in flight, then starts writing `pass` (nothing when it is empty); 0, or the
  // errno of the first write that failed. After a failure nothing more is written.
  int hand_over(std::span<const std::uint8_t> pass) {
    if (!running()) return write_bytes(output_, pass.data(), pass.size());
    if (const int error = wait(); error != 0 || pass.empty()) return error;
    pass_ = pass;
    in_flight_ = true;
    work_.release();
    return 0;
  }

 private:
  int wait() {
    if (in_flight_) done_.acquire();
    in_flight_ = false;
    return error_;
  }

  void write_passes() {
    for (;;) {
      work_.acquire();
      if (stop_) return;
      error_ = write_bytes(output_, pass_.data(), pass_.size());
      done_.release();
    }
  }

  std::FILE* const output_;
  // Handed between the threads through the semaphores, which order their accesses.
  std::span<const std::uint8_t> pass_;
  bool stop_ = false;
  int error_ = 0;
  bool in_flight_ = false;  // the caller's side only
  std::binary_semaphore work_{0};
  std::binary_semaphore done_{0};
  std::thread thread_;
};

// Moves the body from in to out a buffer at a time through the container engine's chunk stream,
// which transforms the whole chunks of each pass in place with one call (every chunk starts the
// CBC chain again from the zero IV, so each chunk stands alone and the cipher works on many of
// them at once) and, at the end of the input, the last chunk zero-filled.
body_result run_passes(std::FILE* in, std::FILE* out, int direction, std::size_t chunk,
                       const key_state& key, const mode_state& mode, progress_hook progress) {
  const bool threaded = is_regular_file(out);
  const std::size_t size = threaded ? 2 * IO_BUFFER_SIZE : IO_BUFFER_SIZE;
  // Fixed buffers for the whole run.
  const std::unique_ptr<std::uint8_t, free_deleter> storage(
      static_cast<std::uint8_t*>(std::aligned_alloc(IO_BUFFER_ALIGNMENT, size)));
  if (storage == nullptr) return {body_error::no_memory};
  const std::span<std::uint8_t> buffers(storage.get(), size);
  // Only the part the passes have filled held data: a small input leaves most pages untouched,
  // and clearing them all would fault them in for nothing.
  scrub_on_exit scrub{};
  // Declared after the buffers, so that the thread is done with them before they are scrubbed.
  pass_writer writer(out, threaded);
  const std::size_t turns = writer.running() ? 2 : 1;
  chunk_stream stream(direction, chunk, key, mode);

  body_result result;
  std::uint64_t consumed = 0;
  const std::size_t pass = pass_size(in, out, chunk);
  for (std::size_t turn = 0;; turn = (turn + 1) % turns) {
    const std::span<std::uint8_t> buffer = buffers.subspan(turn * pass, pass);
    const std::size_t got = std::fread(buffer.data(), 1, pass, in);
    if (got < pass && std::ferror(in)) {
      result.error = body_error::read_failed;
      result.error_number = errno;
      return result;
    }
    if (got == 0) break;

    // A pass is a whole number of chunks, so only the input's last one can end inside a chunk,
    // which the last-chunk step then fills up with zeros.
    if (got % chunk != 0) result.ended_inside_chunk = direction == DIRECTION_DECRYPT;
    vurn_in input{buffer.data(), got, 0};
    vurn_out output{buffer.data(), pass, 0};
    const bool transformed = transform(stream, input, output) && transform_last_chunk(stream) &&
                             transform(stream, input, output);
    const std::size_t filled = turn * pass + std::max(output.pos, got);
    if (filled > scrub.bytes.size()) scrub.bytes = std::as_writable_bytes(buffers.first(filled));
    if (!transformed) {
      result.error = body_error::cipher_failed;
      return result;
    }
    if (const int error = writer.hand_over(buffer.first(output.pos)); error != 0) {
      result.error = body_error::write_failed;
      result.error_number = error;
      return result;
    }
    consumed += got;
    if (progress.report != nullptr) progress.report(progress.context, consumed);
    if (got < pass) break;  // end of input
  }
  // Waits for the last pass.
  if (const int error = writer.hand_over({}); error != 0) {
    result.error = body_error::write_failed;
    result.error_number = error;
  }
  return result;
}

}  // namespace

body_result transform_body(std::FILE* in, std::FILE* out, int direction, chunk_size chunk,
                           const key_state& key, const mode_state& mode, progress_hook progress) {
  body_result result = run_passes(in, out, direction, chunk_bytes(chunk), key, mode, progress);
  if (result.error != body_error::none) return result;
  // Hands everything written so far on to the output's file.
  if (std::fflush(out) != 0 || std::ferror(out)) {
    result.error = body_error::write_failed;
    result.error_number = errno;
  }
  return result;
}

}  // namespace vurn
