// The C interface of the container engine (vurn/container.h): the writer and reader objects over
// the header routines (format.h) and the chunk stream (engine.h). No exception leaves a call.
#include <vurn/container.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "cipher/clear.h"
#include "container/engine.h"
#include "container/format.h"

namespace {

using namespace vurn;

std::size_t left(const vurn_in& in) {
  return in.size - in.pos;
}

bool valid(const vurn_in& in) {
  return in.pos <= in.size && (in.src != nullptr || in.size == 0);
}
bool valid(const vurn_out& out) {
  return out.pos <= out.size && (out.dst != nullptr || out.size == 0);
}

// After a call with finish, what it left is all the input there is: later calls must offer
// exactly that again.
struct input_end {
  bool finished = false;
  std::size_t left_over = 0;

  bool accepts(const vurn_in& in) const { return !finished || left(in) == left_over; }
  void note(const vurn_in& in, bool finish) {
    finished = finish;
    left_over = left(in);
  }
};

// Writes what is left of `bytes` from `pos` on.
void write_pending(std::string_view bytes, std::size_t& pos, vurn_out& out) {
  const std::size_t n = std::min(bytes.size() - pos, out.size - out.pos);
  if (n == 0) return;
  std::memcpy(static_cast<char*>(out.dst) + out.pos, bytes.data() + pos, n);
  pos += n;
  out.pos += n;
}

template <typename T>
void clear(T& record) {
  const clear_on_exit cleared{&record, sizeof record};
}

// The key record of 32, 48 or 64 hexadecimal digits: VURN_OK or VURN_E_KEY.
int load_key(key_state& key, mode_state& mode, int direction, const char* digits,
             std::size_t count) {
  if (count != 32 && count != 48 && count != 64) return VURN_E_KEY;
  key_state loaded{};
  const bool ok = key_state_init(&loaded, direction, static_cast<int>(count * 4), digits) == 1 &&
                  mode_state_init(&mode, CIPHER_MODE_CBC, nullptr) == 1;
  if (ok) key = loaded;
  clear(loaded);
  return ok ? VURN_OK : VURN_E_KEY;
}

bool valid_key_name(std::string_view name) {
  return !name.empty() && name.size() <= STORED_NAME_MAX &&
         std::none_of(name.begin(), name.end(),
                      [](char c) { return c == '\0' || is_header_space(c); });
}

// The skeleton of push and pull: checks the arguments, keeps an error once one happened, and
// holds the input to what a finishing call left.
template <typename Object, typename Step>
int run_call(Object* object, vurn_in* in, vurn_out* out, int finish, Step step) {
  if (object == nullptr) return VURN_E_ARGUMENT;
  if (object->error != VURN_OK) return object->error;
  vurn_in none{};
  vurn_in& input = in != nullptr ? *in : none;
  int status;
  if (!valid(input) || out == nullptr || !valid(*out)) {
    status = VURN_E_ARGUMENT;
  } else if (!object->end.accepts(input)) {
    status = VURN_E_STATE;
  } else {
    const bool finishing = finish != 0 || object->end.finished;
    try {
      status = step(*object, input, *out, finishing);
    } catch (const std::bad_alloc&) {
      status = VURN_E_MEMORY;
    }
    object->end.note(input, finishing);
  }
  if (status < 0) object->error = status;
  return status;
}

}  // namespace

struct vurn_writer {
  vurn_writer(std::string header_, std::size_t chunk)
      : header(std::move(header_)), body(DIRECTION_ENCRYPT, chunk, key, mode) {}
  ~vurn_writer() {
    clear(key);
    clear(mode);
  }
  key_state key{};
  mode_state mode{};
  std::string header;
  std::size_t header_pos = 0;
  chunk_stream body;
  int error = VURN_OK;
  input_end end;
};

struct vurn_reader {
  ~vurn_reader() {
    clear(key);
    clear(mode);
  }
  key_state key{};
  mode_state mode{};
  bool key_set = false;
  bool header_begun = false;  // the name's reading was chosen: skipped when a key was set
  header_parser header;
  std::optional<chunk_stream> body;  // once the header is read and a key set
  int error = VURN_OK;
  input_end end;
};

namespace {

int push_step(vurn_writer& w, vurn_in& in, vurn_out& out, bool finish) {
  write_pending(w.header, w.header_pos, out);
  if (w.header_pos < w.header.size()) return VURN_OK;
  if (!transform(w.body, in, out)) return VURN_E_CHUNK_SIZE;
  if (!finish || left(in) != 0) return VURN_OK;
  if (!transform_last_chunk(w.body) || !transform(w.body, in, out)) return VURN_E_CHUNK_SIZE;
  return output_waiting(w.body) ? VURN_OK : VURN_DONE;
}

int read_header_bytes(vurn_reader& r, vurn_in& in, bool finish) {
  if (!r.header_begun) {
    r.header = header_parser(r.key_set ? name_use::skip_name : name_use::keep_name);
    r.header_begun = true;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(in.src);
  while (left(in) != 0 && !r.header.done() && r.header.error() == header_error::none) {
    if (r.header.take(bytes[in.pos])) ++in.pos;
  }
  if (r.header.error() != header_error::none) return VURN_E_HEADER;
  if (!r.header.done()) return finish ? VURN_E_TRUNCATED : VURN_OK;
  return VURN_DONE;
}

int pull_step(vurn_reader& r, vurn_in& in, vurn_out& out, bool finish) {
  if (!r.header_begun || !r.header.done()) {
    if (const int status = read_header_bytes(r, in, finish); status != VURN_DONE) return status;
  }
  if (!r.key_set) return VURN_NEED_KEY;
  if (!r.body) r.body.emplace(DIRECTION_DECRYPT, chunk_bytes(r.header.chunk()), r.key, r.mode);
  // 192-bit chunks are not whole AES blocks: only an empty body can be read.
  if (r.header.chunk().bits == 192 && left(in) != 0) return VURN_E_CHUNK_SIZE;
  if (!transform(*r.body, in, out)) return VURN_E_CHUNK_SIZE;
  if (!finish || left(in) != 0 || output_waiting(*r.body)) return VURN_OK;
  return r.body->held_size != 0 ? VURN_E_TRUNCATED : VURN_DONE;
}

}  // namespace

extern "C" {

int vurn_writer_new(vurn_writer** w, const char* key_digits, size_t digit_count,
                    const char* key_name, size_t name_length, int chunk_bits) {
  if (w == nullptr) return VURN_E_ARGUMENT;
  *w = nullptr;
  if (key_digits == nullptr || key_name == nullptr) return VURN_E_ARGUMENT;
  key_state key{};
  mode_state mode{};
  int status = load_key(key, mode, DIRECTION_ENCRYPT, key_digits, digit_count);
  const std::string_view name(key_name, name_length);
  if (status == VURN_OK && !valid_key_name(name)) status = VURN_E_KEY_NAME;
  if (status == VURN_OK && chunk_bits != 128 && chunk_bits != 256) status = VURN_E_CHUNK_SIZE;
  if (status == VURN_OK) {
    try {
      const chunk_size chunk{chunk_bits};
      auto* writer = new vurn_writer(header_bytes(name, chunk), chunk_bytes(chunk));
      writer->key = key;
      writer->mode = mode;
      *w = writer;
    } catch (const std::bad_alloc&) {
      status = VURN_E_MEMORY;
    }
  }
  clear(key);
  return status;
}

int vurn_writer_push(vurn_writer* w, vurn_in* in, vurn_out* out, int finish) {
  return run_call(w, in, out, finish, push_step);
}

void vurn_writer_free(vurn_writer* w) {
  delete w;
}

int vurn_reader_new(vurn_reader** r) {
  if (r == nullptr) return VURN_E_ARGUMENT;
  *r = new (std::nothrow) vurn_reader;
  return *r != nullptr ? VURN_OK : VURN_E_MEMORY;
}

int vurn_reader_set_key(vurn_reader* r, const char* key_digits, size_t digit_count) {
  if (r == nullptr || key_digits == nullptr) return VURN_E_ARGUMENT;
  if (r->error != VURN_OK) return r->error;
  if (r->body) return VURN_E_STATE;
  const int status = load_key(r->key, r->mode, DIRECTION_DECRYPT, key_digits, digit_count);
  if (status == VURN_OK) r->key_set = true;
  return status;
}

int vurn_reader_pull(vurn_reader* r, vurn_in* in, vurn_out* out, int finish) {
  return run_call(r, in, out, finish, pull_step);
}

int vurn_reader_header(const vurn_reader* r, const char** key_name, size_t* name_length,
                       int* chunk_bits) {
  if (r == nullptr) return VURN_E_ARGUMENT;
  if (!r->header_begun || !r->header.done()) return VURN_E_STATE;
  if (key_name != nullptr) *key_name = r->header.key_name().c_str();
  if (name_length != nullptr) *name_length = r->header.key_name().size();
  if (chunk_bits != nullptr) *chunk_bits = r->header.chunk().bits;
  return VURN_OK;
}

void vurn_reader_free(vurn_reader* r) {
  delete r;
}

const char* vurn_status_text(int status) {
  switch (status) {
    case VURN_OK:
      return "in progress";
    case VURN_DONE:
      return "done";
    case VURN_NEED_KEY:
      return "the container's key is needed";
    case VURN_E_ARGUMENT:
      return "invalid argument";
    case VURN_E_KEY:
      return "invalid key: not 32, 48 or 64 hexadecimal digits";
    case VURN_E_KEY_NAME:
      return "invalid key name: empty, too long, or holding white space or a NUL byte";
    case VURN_E_CHUNK_SIZE:
      return "unusable chunk size: only 128- and 256-bit chunks hold data";
    case VURN_E_HEADER:
      return "not a vurn container: its header is invalid";
    case VURN_E_TRUNCATED:
      return "truncated container: it ends inside its header or a chunk";
    case VURN_E_STATE:
      return "call out of order";
    case VURN_E_MEMORY:
      return "out of memory";
    default:
      return "unknown status";
  }
}

}  // extern "C"
