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

/* What bio_base64_decode answers for a decode that wrote `bytes` bytes from `characters` characters:
 * `bytes`, unless a test switched the answer with bio_testing_set_decode_answer. */
int decode_answer(int bytes, size_t characters);

/* printf into a std::string (empty on a format error). */
std::string vformat(const char *fmt, va_list args);

}  // namespace bio_host
#endif

#endif /* KELVRA_HOST_API_H */
