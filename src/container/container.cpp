#include "container/container.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <semaphore>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "cipher/chunks.h"
#include "cipher/cipher.h"
#include "fileio/wipe.h"
#include "keyfile/keyfile.h"

namespace vurn {
namespace {

constexpr std::size_t LARGEST_CHUNK = 32;  // bytes, for a 256-bit block size
constexpr std::size_t KEY_NAME_MAX = 99;   // longest key name accepted at the prompt
constexpr std::size_t BLOCK_SIZE_FIELD = 8;

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

using key_name_buffer = std::array<char, KEY_NAME_MAX + 1>;

// Whitespace as the C locale has it, whatever locale the process runs in.
constexpr bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_valid_block_size(std::int64_t bits) {
  return bits == 128 || bits == 192 || bits == 256;
}

constexpr std::array<std::uint8_t, BLOCK_SIZE_FIELD> encode_le64(std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  std::array<std::uint8_t, BLOCK_SIZE_FIELD> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  return bytes;
}

constexpr std::int64_t decode_le64(const std::array<std::uint8_t, BLOCK_SIZE_FIELD>& bytes) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bits |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  }
  return static_cast<std::int64_t>(bits);
}

static_assert(decode_le64(encode_le64(256)) == 256 && encode_le64(256)[1] == 1);
static_assert(decode_le64(encode_le64(-2)) == -2);

void report_read_error(const stream_pair& streams, int error) {
  std::fprintf(stderr, "Error reading %s: %s\n", streams.input_name, std::strerror(error));
}

void report_write_error(const stream_pair& streams, int error) {
  std::fprintf(stderr, "Error writing %s: %s\n", streams.output_name, std::strerror(error));
}

void report_invalid_container(const stream_pair& streams) {
  std::fprintf(stderr, "%s is not a valid vurn container\n", streams.input_name);
}

// 0, or the errno of the failed write.
int write_bytes(std::FILE* output, const void* data, std::size_t size) {
  if (size == 0 || std::fwrite(data, 1, size, output) == size) return 0;
  return errno;
}

bool write_all(const stream_pair& streams, const void* data, std::size_t size) {
  const int error = write_bytes(streams.output, data, size);
  if (error == 0) return true;
  report_write_error(streams, error);
  return false;
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
std::size_t pass_size(const stream_pair& streams, std::size_t chunk) {
  const bool streamed = is_stream(streams.input) || is_stream(streams.output);
  const std::size_t limit = streamed ? STREAM_PASS_SIZE : IO_BUFFER_SIZE;
  return limit - limit % chunk;
}

// ---- Key step of encryption ----

// Asks for the key file name on standard error and reads one word from standard input. The byte
// after the word stays unread: when the data comes from standard input too, it begins there.
bool ask_for_key_name(key_name_buffer& name) {
  std::fputs("Enter key filename: ", stderr);
  int c;
  do c = std::getc(stdin);
  while (c != EOF && is_space(c));
  std::size_t length = 0;
  while (c != EOF && !is_space(c)) {
    if (length == KEY_NAME_MAX) {
      std::fputs("Key filename too long: at most 99 characters\n", stderr);
      return false;
    }
    name[length++] = static_cast<char>(c);
    c = std::getc(stdin);
  }
  name[length] = '\0';
  if (c != EOF) {
    std::ungetc(c, stdin);
  } else if (std::ferror(stdin)) {
    std::fprintf(stderr, "Error reading standard input: %s\n", std::strerror(errno));
    return false;
  }
  if (length == 0) {
    std::fputs("No key filename given\n", stderr);
    return false;
  }
  return true;
}

// Creates a fresh key file named after the current time, "keyfile.<seconds>", or the first free
// "keyfile.<seconds>.<n>" when that name is taken, and leaves its digits in key_text. Each name is
// created exclusively, so runs started at the same moment each end up with a key file of their own.
bool create_fresh_key_file(int key_size, char* key_text, key_name_buffer& name) {
  if (!make_key_digits(key_size, key_text)) return false;
  const std::span<const char> digits(key_text, static_cast<std::size_t>(key_size / 4));
  const int seconds = static_cast<std::int32_t>(std::time(nullptr));
  std::snprintf(name.data(), name.size(), "keyfile.%i", seconds);
  int error = write_key_file(digits, name.data(), key_file_creation::create_new);
  for (int n = 1; error == EEXIST && n < INT_MAX; ++n) {
    std::snprintf(name.data(), name.size(), "keyfile.%i.%i", seconds, n);
    error = write_key_file(digits, name.data(), key_file_creation::create_new);
  }
  if (error != 0) {
    std::fprintf(stderr, "Could not create key file %s: %s\n", name.data(), std::strerror(error));
    return false;
  }
  std::fprintf(stderr, "The %d bit key created is %s \n", key_size, name.data());
  return true;
}

// ---- Header of decryption ----

enum class name_status { found, missing, too_long, read_error };

// Reads the key name at the head of a container: skips leading whitespace, takes the run of
// non-whitespace bytes, then skips all whitespace after it. An empty buffer means the name is
// only skipped, however long; otherwise a name longer than the buffer minus its terminator is
// refused, and *length receives the length of a name found (which may hold NUL bytes).
name_status read_stored_key_name(const stream_pair& streams, std::span<char> name,
                                 std::size_t* length_found = nullptr) {
  std::FILE* input = streams.input;
  const bool keep = !name.empty();
  int c;
  do c = std::getc(input);
  while (c != EOF && is_space(c));
  std::size_t length = 0;
  while (c != EOF && !is_space(c)) {
    if (keep) {
      if (length == name.size() - 1) return name_status::too_long;
      name[length] = static_cast<char>(c);
    }
    ++length;
    c = std::getc(input);
  }
  if (keep) {
    name[length] = '\0';
    if (length_found != nullptr) *length_found = length;
  }
  while (c != EOF && is_space(c)) c = std::getc(input);
  if (c != EOF) {
    std::ungetc(c, input);
  } else if (std::ferror(input)) {
    report_read_error(streams, errno);
    return name_status::read_error;
  }
  return length == 0 ? name_status::missing : name_status::found;
}

// The stored key name as it may be shown on a terminal: control bytes (below 0x20, and 0x7F) as
// three-digit octal escapes such as \033, so that a container cannot drive the terminal.
std::string printable(std::string_view name) {
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += c;
      continue;
    }
    const char escaped[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                            static_cast<char>('0' + ((byte >> 3) & 7)),
                            static_cast<char>('0' + (byte & 7))};
    shown.append(escaped, sizeof escaped);
  }
  return shown;
}

// Reads the 8-byte block size field; 0 when the container is refused (after its message).
int read_block_size(const stream_pair& streams) {
  std::array<std::uint8_t, BLOCK_SIZE_FIELD> field{};
  if (std::fread(field.data(), 1, field.size(), streams.input) != field.size()) {
    if (std::ferror(streams.input)) {
      report_read_error(streams, errno);
    } else {
      report_invalid_container(streams);
    }
    return 0;
  }
  const std::int64_t bits = decode_le64(field);
  if (!is_valid_block_size(bits)) {
    report_invalid_container(streams);
    return 0;
  }
  return static_cast<int>(bits);
}

// ---- Body ----

int run_chunk_routine(int direction, const mode_state& mode, const key_state& key,
                      std::uint8_t* data, std::size_t chunk, std::size_t chunks) {
  return direction == DIRECTION_ENCRYPT ? encrypt_chunks(&mode, &key, data, chunk, chunks, data)
                                        : decrypt_chunks(&mode, &key, data, chunk, chunks, data);
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
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
      thread_ = std::thread([this] { write_passes(); });
    } catch (const std::system_error&) {
      // No thread: hand_over() writes each pass before it returns.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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

bool write_pass(const stream_pair& streams, pass_writer& writer,
                std::span<const std::uint8_t> pass) {
  const int error = writer.hand_over(pass);
  if (error == 0) return true;
  report_write_error(streams, error);
  return false;
}

// Moves the body from input to output a buffer at a time, transforming the chunks of each pass in
// place with one call: every chunk starts the CBC chain again from the record's zero IV, so each
// chunk stands alone and the cipher works on many of them at once. A partial last chunk is
// zero-filled and written whole. When the chunk routine does not process the chunks (192-bit
// chunks are not whole AES blocks), nothing of the pass is written and the run fails. Into a
// regular file a writer thread writes each pass from one buffer while the next pass fills the
// other.
int transform_body(const stream_pair& streams, int direction, int block_size, const key_state& key,
                   const mode_state& mode) {
  const bool threaded = is_regular_file(streams.output);
  const std::size_t size = threaded ? 2 * IO_BUFFER_SIZE : IO_BUFFER_SIZE;
  // Fixed buffers for the whole run.
  const std::unique_ptr<std::uint8_t, free_deleter> storage(
      static_cast<std::uint8_t*>(std::aligned_alloc(IO_BUFFER_ALIGNMENT, size)));
  if (storage == nullptr) {
    std::fputs("Not enough memory for the data buffer\n", stderr);
    return STREAM_FAILED;
  }
  const std::span<std::uint8_t> buffers(storage.get(), size);
  // Only the part the passes have filled held data: a small input leaves most pages untouched,
  // and clearing them all would fault them in for nothing.
  scrub_on_exit scrub{};
  // Declared after the buffers, so that the thread is done with them before they are scrubbed.
  pass_writer writer(streams.output, threaded);
  const std::size_t turns = writer.running() ? 2 : 1;

  const auto chunk = static_cast<std::size_t>(block_size / 8);
  const std::size_t pass = pass_size(streams, chunk);
  for (std::size_t turn = 0;; turn = (turn + 1) % turns) {
    const std::span<std::uint8_t> buffer = buffers.subspan(turn * pass, pass);
    const std::size_t got = std::fread(buffer.data(), 1, pass, streams.input);
    if (got < pass && std::ferror(streams.input)) {
      report_read_error(streams, errno);
      return STREAM_FAILED;
    }
    if (got == 0) break;

    const std::size_t used = (got + chunk - 1) / chunk * chunk;
    const std::size_t filled = turn * pass + used;
    if (filled > scrub.bytes.size()) scrub.bytes = std::as_writable_bytes(buffers.first(filled));
    if (used != got) {
      std::memset(buffer.data() + got, 0, used - got);
      if (direction == DIRECTION_DECRYPT) {
        std::fprintf(stderr, "Warning: %s ends inside a chunk; its last chunk was zero-filled\n",
                     streams.input_name);
      }
    }
    if (run_chunk_routine(direction, mode, key, buffer.data(), chunk, used / chunk) != CHUNKS_ALL) {
      return STREAM_FAILED;
    }
    if (!write_pass(streams, writer, buffer.first(used))) return STREAM_FAILED;
    if (got < pass) break;  // end of input
  }
  // Waits for the last pass.
  return write_pass(streams, writer, {}) ? STREAM_OK : STREAM_FAILED;
}

// Hands everything written so far on to the output's file.
int finish(const stream_pair& streams) {
  if (std::fflush(streams.output) != 0 || std::ferror(streams.output)) {
    report_write_error(streams, errno);
    return STREAM_FAILED;
  }
  return STREAM_OK;
}

}  // namespace

int encrypt_stream(int block_size, int key_size, const char* key_path, bool interactive,
                   const stream_pair& streams) {
  if (!is_valid_block_size(block_size)) {
    std::fprintf(stderr, "Block size must be 128, 192 or 256, not %d\n", block_size);
    return STREAM_FAILED;
  }
  std::array<char, KEY_TEXT_MAX> key_text{};
  key_state key{};
  mode_state mode{};
  const scrub_on_exit scrub_text{std::as_writable_bytes(std::span(key_text))};
  const scrub_on_exit scrub_key{std::as_writable_bytes(std::span(&key, 1))};

  key_name_buffer name_buffer{};
  const char* key_name = key_path;
  if (key_name == nullptr) {
    const bool named = interactive ? ask_for_key_name(name_buffer)
                                   : create_fresh_key_file(key_size, key_text.data(), name_buffer);
    if (!named) {
      std::fputs("Error Reading in Key\n", stderr);
      return STREAM_NO_KEY;
    }
    key_name = name_buffer.data();
  }
  const int bits = read_key_file(key_text.data(), key_name);
  if (bits == 0) {
    std::fputs("Error Reading in Key\n", stderr);
    return STREAM_NO_KEY;
  }

  const int key_status = key_state_init(&key, DIRECTION_ENCRYPT, bits, key_text.data());
  if (key_status != 1) {
    std::fprintf(stderr, "Failure to initialize key with error code %d\n", key_status);
    return STREAM_FAILED;
  }
  if (mode_state_init(&mode, CIPHER_MODE_CBC, nullptr) != 1) {
    std::fputs("Failure to initialize cipher\n", stderr);
    return STREAM_FAILED;
  }

  if (std::fprintf(streams.output, "%s ", key_name) < 0) {
    report_write_error(streams, errno);
    return STREAM_FAILED;
  }
  const auto field = encode_le64(block_size);
  if (!write_all(streams, field.data(), field.size())) return STREAM_FAILED;

  if (transform_body(streams, DIRECTION_ENCRYPT, block_size, key, mode) != STREAM_OK) {
    return STREAM_FAILED;
  }
  return finish(streams);
}

int decrypt_stream([[maybe_unused]] int key_size, const char* key_path,
                   const stream_pair& streams) {
  // Whatever size is expected, the key text has room for the largest key; the key file decides.
  std::array<char, KEY_TEXT_MAX> key_text{};
  key_state key{};
  mode_state mode{};
  const scrub_on_exit scrub_text{std::as_writable_bytes(std::span(key_text))};
  const scrub_on_exit scrub_key{std::as_writable_bytes(std::span(&key, 1))};

  int bits = 0;
  if (key_path != nullptr) {
    bits = read_key_file(key_text.data(), key_path);
    const name_status stored = read_stored_key_name(streams, {});
    if (stored == name_status::read_error) return STREAM_FAILED;
    if (stored == name_status::missing) {
      report_invalid_container(streams);
      return STREAM_FAILED;
    }
  } else {
    std::array<char, PATH_MAX + 1> name{};
    std::size_t length = 0;
    switch (read_stored_key_name(streams, name, &length)) {
      case name_status::found:
        break;
      case name_status::missing:
        report_invalid_container(streams);
        return STREAM_FAILED;
      case name_status::too_long:
        std::fprintf(stderr,
                     "The key file name stored in %s is longer than %d bytes; name the key file "
                     "with -k\n",
                     streams.input_name, PATH_MAX);
        return STREAM_FAILED;
      case name_status::read_error:
        return STREAM_FAILED;
    }
    const std::string shown = printable(std::string_view(name.data(), length));
    std::fprintf(stderr, "The keyname found was %s\n", shown.c_str());
    // As a path the name would end at its first NUL byte and open another file than it says.
    if (std::memchr(name.data(), '\0', length) != nullptr) {
      std::fprintf(stderr,
                   "The key file name stored in %s holds a NUL byte; name the key file with -k\n",
                   streams.input_name);
      return STREAM_FAILED;
    }
    bits = read_key_file(key_text.data(), name.data());
    std::fprintf(stderr, "The %i bit key read in is %s \n", bits, shown.c_str());
  }

  if (key_state_init(&key, DIRECTION_DECRYPT, bits, key_text.data()) != 1) {
    std::fputs("MOLVEX: Error initializing key\n", stderr);
    return STREAM_FAILED;
  }
  if (mode_state_init(&mode, CIPHER_MODE_CBC, nullptr) != 1) {
    std::fputs("MOLVEX: Error initializing cipher\n", stderr);
    return STREAM_FAILED;
  }

  const int block_size = read_block_size(streams);
  if (block_size == 0) return STREAM_FAILED;
  std::fprintf(stderr, "Blocksize is %d\n", block_size);

  if (transform_body(streams, DIRECTION_DECRYPT, block_size, key, mode) != STREAM_OK) {
    return STREAM_FAILED;
  }
  return finish(streams);
}

}  // namespace vurn
