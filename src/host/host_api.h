/* host_api.h - what the library's own sources include: the exported calls with default visibility
 * and the helpers the library's parts share. */
#ifndef KELVRA_HOST_API_H
#define KELVRA_HOST_API_H

/* The library is built with hidden visibility; the calls declared here are the ones it exports. */
#pragma GCC visibility push(default)
#include "bio_host_program.h"
#include "bio_host_testing.h"
#pragma GCC visibility pop

#ifdef __cplusplus
#include <string>
#include <string_view>
#include <cstdarg>

namespace bio_host {

/* A fault armed through bio_testing_fail_nth fires: the caller fails as if the database had. */
bool fault_fires(bio_fault_point point);
/* A storage call (or a row of a store) passed that point; counted whether it then succeeds or not. */
void count_call(bio_fault_point point);
/* What the test build's bio_testing_* calls reach (fault_points.cpp, storage.cpp). */
void arm_fault(bio_fault_point point, int n);
bool fault_fired(bio_fault_point point);
int calls_counted(bio_fault_point point);
void clear_counted_calls();
void set_decode_answer(bio_decode_answer answer);
int open_connections();
/* Feature records and samples made by the library and not yet released (feature_records.cpp). */
int outstanding_records();

/* What bio_base64_decode answers for a decode that wrote `bytes` bytes from `characters` characters:
 * `bytes`, unless a test switched the answer with bio_testing_set_decode_answer. */
int decode_answer(int bytes, size_t characters);

/* Room for a host-made text of `length` characters, its NUL already written (text_pool.cpp): from blocks
 * the library reuses between lists when it is large, from malloc otherwise. NULL, logged, when memory is
 * exhausted or the test build's fault point BIO_FAULT_NEW_TEXT fires. */
char *new_text(size_t length);
/* Frees a text from new_text, or any text from malloc; NULL is allowed. */
void free_text(char *text);
/* Bytes of the blocks kept for large texts that no text uses now. */
size_t idle_text_bytes();

/* Whether a debug line would reach anybody: standard error at the debug threshold, or a listener. */
bool debug_lines_wanted();

/* printf into a std::string (empty on a format error). */
std::string vformat(const char *fmt, va_list args);

}  // namespace bio_host
#endif

#endif /* KELVRA_HOST_API_H */
