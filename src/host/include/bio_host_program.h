/* bio_host_program.h - the stand-in host library's own API for the programs that run drivers.
 *
 * A driver sees only bio_host.h. A program that loads drivers (kelvractl, the test suites) also sets
 * the feature database's location and the operation time-out, chooses which log lines are printed,
 * and observes every status, result and notify change through the journal or a listener.
 */
#ifndef BIO_HOST_PROGRAM_H
#define BIO_HOST_PROGRAM_H

#include "bio_host.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum { BIO_LOG_DEBUG = 0, BIO_LOG_INFO = 1, BIO_LOG_ERROR = 2, BIO_LOG_NONE = 3 } bio_log_level;

/* Lines below the threshold are not printed (default BIO_LOG_INFO); listeners see every line. */
void bio_log_set_threshold(bio_log_level level);
typedef void (*bio_log_listener)(bio_log_level level, const char *line, void *user);
void bio_log_set_listener(bio_log_listener listener, void *user);

void bio_set_ops_timeout_ms(int timeout_ms);

/* The database file that bio_sto_connect_db opens, created with mode 0600 if missing. ":memory:" is a
 * private in-memory database shared by every connection of the process until the path is changed.
 * Returns 0, or -1 when the file cannot be opened or created as a feature database. */
int bio_sto_set_db_path(const char *path);
const char *bio_sto_get_db_path(void);

/* Every status, result and notify change is journalled in order. */
typedef enum { BIO_EVENT_STATUS = 0, BIO_EVENT_RESULT = 1, BIO_EVENT_NOTIFY = 2 } bio_event_kind;
typedef struct bio_event {
    unsigned long seq;           /* 1, 2, ... in the order the setters were called, across devices */
    int driver_id;
    bio_event_kind kind;
    int common;                  /* 1: set through bio_set_ops_result / bio_set_notify_mid */
    int value;                   /* as given */
    int operation;               /* bio_dev.current_operation when it was set */
} bio_event;

/* Copies up to max events from position first on into out; returns how many were copied. */
size_t bio_journal_read(size_t first, bio_event *out, size_t max);
size_t bio_journal_size(void);
void bio_journal_clear(void);
/* Called on the thread of the setter, after the change is recorded; NULL removes it. */
typedef void (*bio_event_listener)(bio_dev *dev, const bio_event *event, void *user);
void bio_set_event_listener(bio_event_listener listener, void *user);

/* The host's own texts for common and operation codes (never NULL). */
const char *bio_host_notify_text(int mid);
const char *bio_host_result_text(int result);
const char *bio_host_status_text(int status);

#ifdef __cplusplus
}
#endif

#endif /* BIO_HOST_PROGRAM_H */
