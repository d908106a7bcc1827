/* The tests' stand-in for the platform header that declares uuid_to_string,
 * with its shape: a 16-byte record in host byte order and a formatter that
 * hands out a malloc'ed, lower-case, 36-character text and reports a 32-bit
 * status. The library's platform path is compiled against it (the testing
 * runtime with ZENTREL_TEST_UUID_STANDIN), so that the path runs here.
 * uuid_standin.h chooses what the next calls answer. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct uuid {
    uint32_t time_low;
    uint16_t time_mid;
    uint16_t time_hi_and_version;
    uint8_t clock_seq_hi_and_reserved;
    uint8_t clock_seq_low;
    uint8_t node[6];
};
typedef struct uuid uuid_t;

#define uuid_s_ok 0
#define uuid_s_bad_version 1
#define uuid_s_invalid_string_uuid 2
#define uuid_s_no_memory 3

/* Stores in *text a malloc'ed NUL-terminated text of the record and in *status
 * uuid_s_ok; on failure a non-zero status (and, as the stand-in is told, maybe
 * a text of the wrong length or none). */
void uuid_to_string(const uuid_t* id, char** text, uint32_t* status);

#ifdef __cplusplus
}
#endif
