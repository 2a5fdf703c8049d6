/* bio_host_testing.h - test-only hooks of libbiometric: fault injection into the feature database and its
 * records, the answer of the base64 decoder, and a count of the storage calls made.
 *
 * Only the test build of the library (build/lib/host-testing/libbiometric.so.0, never installed)
 * exports these; the libbiometric.so.0 that programs run against does not. Both carry the same soname,
 * so a test process that loads a driver module gets the module's libbiometric.so.0 from the one the
 * test itself was linked with: one copy of the host's state. */
#ifndef BIO_HOST_TESTING_H
#define BIO_HOST_TESTING_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    BIO_FAULT_CONNECT = 0,   /* bio_sto_connect_db returns NULL */
    BIO_FAULT_QUERY = 1,     /* bio_sto_get_feature_info fails (NULL) */
    BIO_FAULT_STORE = 2,     /* bio_sto_set_feature_info fails before writing */
    BIO_FAULT_STORE_ROW = 3, /* the n-th row written by bio_sto_set_feature_info fails, the rest rolls back */
    BIO_FAULT_CLEAN = 4,     /* bio_sto_clean_feature_info fails before deleting */
    BIO_FAULT_NEW_RECORD = 5, /* bio_sto_new_feature_info returns NULL, as when memory is exhausted */
    BIO_FAULT_NEW_SAMPLE = 6, /* bio_sto_new_feature_sample returns NULL */
    BIO_FAULT_NEW_TEXT = 7,  /* bio_sto_new_str returns NULL (also the copies the two calls above make) */
    BIO_FAULT_POINT_COUNT = 8
} bio_fault_point;

/* The n-th call (n >= 1, counted from now) of that point fails, once; n <= 0 disarms the point. */
void bio_testing_fail_nth(bio_fault_point point, int n);
/* Disarms every point and gives bio_base64_decode its own answer back. */
void bio_testing_clear_faults(void);
/* 1 when the fault last armed on that point has fired, 0 when it has not (yet). */
int bio_testing_fault_fired(bio_fault_point point);
/* Calls of bio_sto_connect_db, bio_sto_get_feature_info, bio_sto_set_feature_info and
 * bio_sto_clean_feature_info (by the point named after each), and rows the stores tried to write
 * (BIO_FAULT_STORE_ROW), since the last bio_testing_clear_calls; failed calls count too. */
int bio_testing_calls(bio_fault_point point);
void bio_testing_clear_calls(void);

/* What bio_base64_decode answers after a successful decode. Hosts differ here: this library answers the
 * number of bytes written, others answer 0 or 1, or the number of characters read. Tests switch the answer
 * to show that a driver relies on none of them. A text that is not base64 is answered with -1 whatever
 * is set. */
typedef enum {
    BIO_DECODE_ANSWERS_BYTES = 0,      /* this library's own answer */
    BIO_DECODE_ANSWERS_ZERO = 1,
    BIO_DECODE_ANSWERS_ONE = 2,
    BIO_DECODE_ANSWERS_CHARACTERS = 3  /* the length of the text: more than was written */
} bio_decode_answer;
void bio_testing_set_decode_answer(bio_decode_answer answer);
/* Database handles connected and not yet disconnected in this process. */
int bio_testing_open_connections(void);
/* Feature records and samples this library made (bio_sto_new_feature_info, bio_sto_new_feature_sample,
 * and the lists bio_sto_get_feature_info returns) and that have not been released yet with
 * bio_sto_free_feature_info or bio_sto_free_feature_info_list. */
int bio_testing_outstanding_records(void);
/* Bytes of the blocks the library keeps for large texts (of 64 KiB and more) while no text uses them. */
long long bio_testing_idle_text_bytes(void);

#ifdef __cplusplus
}
#endif

#endif /* BIO_HOST_TESTING_H */
