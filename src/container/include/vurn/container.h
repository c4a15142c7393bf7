/* vurn containers as a stream: a writer takes plaintext and gives a container, a reader takes a
 * container and gives plaintext, each through buffers whose positions the calls advance. C99 and
 * C++; the library neither prints nor opens files, holds no global state, and distinct objects
 * may be used from distinct threads at once. docs/library.md describes every call and status. */
#ifndef VURN_CONTAINER_H
#define VURN_CONTAINER_H

#include <stddef.h>

#include <vurn/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Input: bytes src[pos] to src[size - 1] are still to be read; a call advances pos. */
typedef struct vurn_in {
  const void* src;
  size_t size;
  size_t pos;
} vurn_in;

/* Output: bytes dst[pos] to dst[size - 1] may be written; a call advances pos. */
typedef struct vurn_out {
  void* dst;
  size_t size;
  size_t pos;
} vurn_out;

typedef struct vurn_writer vurn_writer; /* plaintext in, container out */
typedef struct vurn_reader vurn_reader; /* container in, plaintext out */

enum {
  VURN_OK = 0,       /* progress made; call again */
  VURN_DONE = 1,     /* writer: everything written after finish; reader: container ended */
  VURN_NEED_KEY = 2, /* reader: header read and no key set yet; see vurn_reader_header */
  VURN_E_ARGUMENT = -1,
  VURN_E_KEY = -2,
  VURN_E_KEY_NAME = -3,
  VURN_E_CHUNK_SIZE = -4,
  VURN_E_HEADER = -5,
  VURN_E_TRUNCATED = -6,
  VURN_E_STATE = -7,
  VURN_E_MEMORY = -8
};

/* A writer under the key given as 32, 48 or 64 hexadecimal digits (either case), storing
 * key_name (no white space or NUL) in the header, with chunks of chunk_bits (128 or 256). */
VURN_API int vurn_writer_new(vurn_writer** w, const char* key_digits, size_t digit_count,
                             const char* key_name, size_t name_length, int chunk_bits);
/* Encrypts from in into out; finish says in holds all the remaining input. */
VURN_API int vurn_writer_push(vurn_writer* w, vurn_in* in, vurn_out* out, int finish);
VURN_API void vurn_writer_free(vurn_writer* w);

VURN_API int vurn_reader_new(vurn_reader** r);
VURN_API int vurn_reader_set_key(vurn_reader* r, const char* key_digits, size_t digit_count);
/* Decrypts from in into out; finish says in holds all the remaining input. */
VURN_API int vurn_reader_pull(vurn_reader* r, vurn_in* in, vurn_out* out, int finish);
/* The stored key name (NUL-terminated, valid until free) and chunk size, once the header is read;
 * NULL for a field not wanted. */
VURN_API int vurn_reader_header(const vurn_reader* r, const char** key_name, size_t* name_length,
                                int* chunk_bits);
VURN_API void vurn_reader_free(vurn_reader* r);

/* A short English text for a status; never NULL. */
VURN_API const char* vurn_status_text(int status);

#ifdef __cplusplus
}
#endif

#endif /* VURN_CONTAINER_H */
