/* kelvs_control.h - the control API of the virtual Kelvra Dactylen sensor (libKelDactylen.so).
 *
 * The virtual sensor implements kelfpscan.h for real: a named virtual finger presses and lifts on a
 * timeline, frames are rendered from it, graded, turned into feature blocks and compared; in
 * match-on-chip mode it enrolls, stores (in a state file), searches and deletes templates itself.
 * This header is how tests and hosts steer it: load a profile, put a finger on it, script the answers
 * of any SDK call, and read back the log of every call the driver made. A host that may run on the
 * vendor's real SDK looks these calls up with dlsym and does without them when they are missing.
 *
 * Every call is thread-safe. Nothing here is needed by a driver.
 */
#ifndef KELVS_CONTROL_H
#define KELVS_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Error codes -------------------------------------------------------------------------------
 * What the virtual sensor's calls return when they fail (GlobalInit and GlobalFree answer 1 instead:
 * already set up, not set up). */
enum {
    KELVS_ERR_HANDLE = -1,            /* NULL, closed or unknown handle */
    KELVS_ERR_ARGUMENT = -2,          /* NULL buffer, bad size or bad record */
    KELVS_ERR_GONE = -3,              /* the sensor was unplugged while the handle was open */
    KELVS_ERR_NOT_INITIALISED = -4,   /* OpenDevice before GlobalInit */
    KELVS_ERR_NO_DEVICE = -5,         /* OpenDevice: no sensor with that index */
    KELVS_ERR_MODE = -6,              /* an on-chip call on a match-on-host sensor */
    KELVS_ERR_NO_CAPTURE = -7,        /* ExtractFeature before any capture */
    KELVS_ERR_POOR_CONTACT = -8,      /* ExtractFeature: no finger, or not a full press, in the capture */
    KELVS_ERR_BAD_FEATURE = -9,       /* VerifyExt: the probe is not a feature block */
    KELVS_ERR_ENROLL_INCOMPLETE = -10,/* StoreTemplateForOS before six accepted steps */
    KELVS_ERR_STATE_FILE = -11,       /* the on-chip store could not be written */
    KELVS_ERR_BUSY = -12,             /* OpenDevice: the sensor is open already, here or in another
                                         program (see kelvs_open_refused_by) */
    KELVS_ERR_REPLAY = -13            /* every call, GlobalInit and GlobalFree too, once a replay has
                                         diverged from its trace (see kelvs_replay_status) */
};

/* ---- Profile ----------------------------------------------------------------------------------
 * A GLib key file. Group [Sensor]:
 *   WorkMode=host|chip        match-on-host (default) or match-on-chip
 *   Count=1                   sensors attached (0: none)
 *   Width=160 Height=160 Dpi=508   image geometry reported in match-on-host mode (chip mode: 96 x 96)
 *   FwMinorVersion=80 FwVersion=24 McuType=7 SensorType=37   firmware facts
 *   CaptureMs=30              time one capture takes
 *   Noise=15                  grey levels of sensor noise on every pixel (0: clean frames, which a
 *                             trace stores in a fraction of the space)
 *   Capacity=50               templates the on-chip store holds
 *   EnrollGiveUpMs=8000       EnrollForOS answers 254 after this long without a finger
 *   StateFile=PATH            where the on-chip store is kept across processes (none: in memory only)
 *   FrameDir=PATH             write every rendered frame there as a PGM file
 *   ControlSocket=PATH        listen there for hand-played finger commands while a sensor is open
 *                             (see kelvs_serve_control)
 * Group [Finger]:
 *   Name=NAME|none            the virtual finger that presses on its own (none: the sensor stays empty)
 *   LandMs=150 PressMs=1200 LeaveMs=150 AwayMs=900   its timeline, repeated: landing (partial contact),
 *                             pressed, leaving (partial), away
 *   StartMs=400               time before its first landing
 * Other groups are ignored, so a host may keep its own settings in the same file. An unknown key or a
 * bad value in these two groups rejects the whole profile and the previous one stays.
 * kelvs_reset leaves the clock alone and does not touch the state file.
 */
void kelvs_reset(void);  /* default profile, no finger, no scripts, empty log, not set up, empty store */
int kelvs_load_profile_data(const char *keyfile_text, char *error, size_t error_size);
int kelvs_load_profile_file(const char *path, char *error, size_t error_size);

/* ---- Time -------------------------------------------------------------------------------------
 * The sensor's clock paces captures and the finger timeline. Tests install a clock they control;
 * NULL goes back to the real monotonic clock. */
typedef struct kelvs_clock {
    int64_t (*now_us)(void *user);
    void (*sleep_us)(void *user, int64_t microseconds);
    void *user;
} kelvs_clock;
void kelvs_set_clock(const kelvs_clock *clock);

/* ---- The finger -------------------------------------------------------------------------------- */
typedef enum {
    KELVS_CONTACT_NONE = 0,     /* nothing on the sensor */
    KELVS_CONTACT_FULL = 1,     /* a good press */
    KELVS_CONTACT_PARTIAL = 2,  /* landing or leaving: only part of the finger touches */
    KELVS_CONTACT_SMEARED = 3   /* moving while pressed */
} kelvs_contact;

/* The finger that follows the timeline of the profile, starting now; NULL or "none" removes it. */
void kelvs_finger_auto(const char *name);
/* Hand-played: the finger stays as put until the next call. Every press lands at a new position,
 * as if the finger had been lifted and put down again. NULL or "none" lifts it. */
void kelvs_finger_press(const char *name, kelvs_contact contact);
void kelvs_finger_lift(void);
/* The sensor disappears: every call on an open handle fails and the device count is 0 until replug. */
void kelvs_unplug(void);
void kelvs_replug(void);
/* What touches the sensor now (name written into name when not NULL). */
kelvs_contact kelvs_finger_state(char *name, size_t name_size);

/* ---- Scripted answers ---------------------------------------------------------------------------
 * A scripted answer replaces the sensor's own behaviour for one call (kelvs_script) or for every call
 * until cleared (kelvs_script_always). Queued answers are used first, in order. */
typedef enum {
    KELVS_GetDeviceCount = 0,
    KELVS_GlobalInit,
    KELVS_GlobalFree,
    KELVS_OpenDevice,
    KELVS_CloseDevice,
    KELVS_GetDeviceWorkMode,
    KELVS_GetImageInfo,
    KELVS_GetFwMinorVersion,
    KELVS_GetFwVersion,
    KELVS_GetMcuType,
    KELVS_SetTQ300UpdateFlag,
    KELVS_CaptureRawData,
    KELVS_ImgQuality,
    KELVS_ExtractFeature,
    KELVS_VerifyExt,
    KELVS_EnrollForOS,
    KELVS_StoreTemplateForOS,
    KELVS_SearchForOS,
    KELVS_ResetIdentifyCntForOS,
    KELVS_DelUserFpsFroOS,
    KELVS_DelAllUserFpsFroOS,
    KELVS_DelOSInfoFpsFroOS,
    KELVS_CALL_COUNT
} kelvs_call;

/* GlobalInit, GlobalFree, OpenDevice and CloseDevice still do their own work when their scripted rc
 * is 0 (a handle has to come from somewhere); any other rc replaces the call.
 * Outputs a scripted answer writes, by call (unused fields ignored):
 *   GetDeviceCount: out[0] count          GetDeviceWorkMode: out[0] mode
 *   GetImageInfo: out[0..2] w, h, dpi     GetFwMinorVersion / GetFwVersion: out[0]
 *   GetMcuType: out[0] mcu, out[1] sensor ImgQuality: out[0] quality
 *   VerifyExt: out[0] similarity, out[1] match          SearchForOS: out[0] matched id, out[1] score
 *   CaptureRawData: image (image_size bytes copied at scripting time; shorter images are padded
 *                   with 255) or, without an image, every pixel set to out[0]
 *   ExtractFeature: every byte of the block set to out[0]
 * With has_out 0 the outputs are left untouched (as a failing call may do). */
typedef struct kelvs_answer {
    int rc;
    int has_out;
    int out[4];
    const unsigned char *image;
    size_t image_size;
} kelvs_answer;

void kelvs_script(kelvs_call call, const kelvs_answer *answer);
void kelvs_script_always(kelvs_call call, const kelvs_answer *answer);  /* NULL clears it */
/* Shortcuts: a return code with no outputs written; a return code with out[0] (and out[1]) written. */
void kelvs_script_rc(kelvs_call call, int rc);
void kelvs_script_out(kelvs_call call, int rc, int out0, int out1);
void kelvs_clear_scripts(void);
size_t kelvs_scripts_pending(kelvs_call call);

/* ---- Call log ---------------------------------------------------------------------------------- */
typedef struct kelvs_call_record {
    kelvs_call call;
    int rc;
    int arg[2];                      /* OpenDevice index; CaptureRawData / ExtractFeature mode;
                                        VerifyExt level and count; EnrollForOS step;
                                        ResetIdentifyCntForOS count */
    int has_record;                  /* on-chip calls: 1 user record, 2 user and finger records */
    unsigned char user_record[64];
    unsigned char finger_record[64];
    char tag[16];                    /* DelOSInfoFpsFroOS: the tag */
    uint64_t data_digest[2];         /* VerifyExt while a call listener is installed: kelvs_digest of the
                                        probe block and of the count template blocks it was handed
                                        (otherwise, or for a NULL pointer, 0) */
} kelvs_call_record;

size_t kelvs_log_size(void);
int kelvs_log_get(size_t index, kelvs_call_record *out);  /* 0, or -1 past the end */
size_t kelvs_log_count(kelvs_call call);
void kelvs_log_clear(void);
const char *kelvs_call_name(kelvs_call call);  /* without the prefix: "GetDeviceCount" */
/* FNV-1a (64-bit) of size bytes: how the call log names the blocks a comparison was handed. */
uint64_t kelvs_digest(const void *data, size_t size);
/* Sees every call as it is logged, on the caller's thread and under the sensor's lock: it must not call
 * back into the sensor. NULL removes it; kelvs_reset leaves it in place. Digesting the blocks of a
 * comparison costs a pass over them, so it is done only while a listener is installed. */
typedef void (*kelvs_call_listener)(const kelvs_call_record *record, void *user);
void kelvs_set_call_listener(kelvs_call_listener listener, void *user);

/* ---- One owner per sensor ------------------------------------------------------------------------
 * Like a real sensor, the virtual one is used by one program at a time. The first OpenDevice of a
 * process claims the sensor's state: with a StateFile it locks "<StateFile>.lock" (flock; the kernel
 * drops the lock when the program ends, however it ends) and writes its pid there. While the claim is
 * held, an OpenDevice in another program, or a second one of the same sensor in this program, fails
 * with KELVS_ERR_BUSY. The last CloseDevice (or GlobalFree) lets the claim go. The store is read from
 * the state file when the claim is taken, and a state file that cannot be read is renamed to
 * "<StateFile>.unreadable-YYYYMMDD-HHMMSS" (with one warning) before an empty store replaces it.
 * Where no lock file can be made (a folder this program may not write) the open goes ahead unclaimed. */
/* When the last OpenDevice of this process failed with KELVS_ERR_BUSY: the pid of the program holding
 * the sensor (this process's own when a handle of it is open here), or -1 when its pid is not known;
 * 0 after any other outcome. */
int kelvs_open_refused_by(void);

/* ---- State ------------------------------------------------------------------------------------- */
int kelvs_is_initialised(void);      /* GlobalInit done and not freed */
int kelvs_open_handles(void);
int kelvs_update_flagged(void);      /* SetTQ300UpdateFlag was called */
/* On-chip store. */
int kelvs_store_count(void);
int kelvs_store_has(int uid, int finger_index);
void kelvs_store_clear(void);

/* ---- Hand control ------------------------------------------------------------------------------
 * Commands, one per line, as the control socket reads them: a verb of the table below, followed by a
 * finger name when the verb takes one ("press alice", "lift"). The table is the one definition of the
 * verbs: hosts check what a user typed against it before sending. */
typedef enum {
    KELVS_VERB_PRESS = 0,   /* press NAME: the finger lies fully on the sensor */
    KELVS_VERB_SMEAR,       /* smear NAME: it moves while pressed */
    KELVS_VERB_PARTIAL,     /* partial NAME: only part of it touches */
    KELVS_VERB_AUTO,        /* auto NAME|none: it presses and lifts on its own (kelvs_finger_auto) */
    KELVS_VERB_LIFT,        /* lift: nothing on the sensor */
    KELVS_VERB_UNPLUG,      /* unplug, replug: kelvs_unplug, kelvs_replug */
    KELVS_VERB_REPLUG,
    KELVS_VERB_STATE,       /* state: what lies on the sensor, e.g. "finger alice full", "finger none" */
    KELVS_VERB_COUNT
} kelvs_verb;
typedef struct kelvs_verb_info {
    const char *word;
    int takes_finger;       /* 1: exactly one finger name follows; 0: nothing follows */
} kelvs_verb_info;
static const kelvs_verb_info kelvs_verbs[KELVS_VERB_COUNT] = {
    {"press", 1}, {"smear", 1}, {"partial", 1}, {"auto", 1},
    {"lift", 0},  {"unplug", 0}, {"replug", 0}, {"state", 0},
};
/* Answer lines begin with this when the command was refused. */
#define KELVS_ANSWER_REFUSED "error: "
/* Returns 0 with the answer line ("ok", or the state), or -1 with KELVS_ANSWER_REFUSED and why. */
int kelvs_command(const char *line, char *answer, size_t answer_size);
/* Serves kelvs_command lines on a Unix stream socket at path (one answer line per command line) until
 * kelvs_serve_control(NULL) or kelvs_reset. The first OpenDevice starts the profile's ControlSocket the
 * same way, and the last CloseDevice or GlobalFree stops that one again. A socket belongs to the program
 * that locks "<path>.lock" beside it: another program never removes or replaces it, and a socket left
 * by a program that died is taken over. 0, or -1 when the socket cannot be set up or is served by
 * another program. */
int kelvs_serve_control(const char *path);

/* ---- Replay -------------------------------------------------------------------------------------
 * Loaded with a trace (kelvra_trace.h, written by the recorder), the sensor answers every SDK call from
 * it instead of its own behaviour: in order, with the recorded outputs and return codes, as long as the
 * driver calls the same function with the same inputs as the trace (the thread may differ). The first
 * call that differs, or a call past the end of the trace, ends the replay: the sensor keeps the message
 * that names the call and the argument, and from then on every call answers KELVS_ERR_REPLAY, so the
 * driver's error path runs. While a replay is loaded the profile, the finger, the scripts and the store
 * play no part, and the call log stays as it was. */
typedef enum {
    KELVS_REPLAY_COMPRESSED = 0,   /* answer at once */
    KELVS_REPLAY_AS_RECORDED = 1   /* each call starts and returns at the moment it did in the trace,
                                      counted from the load on the sensor's clock */
} kelvs_replay_timing;
/* 0, or -1 with why in error: the file cannot be read, is of a version this sensor does not know, or
 * was redacted (its frames and feature blocks were taken out: it can be shown but not replayed). A
 * replay loaded before is ended first. */
int kelvs_replay_load(const char *trace_path, kelvs_replay_timing timing, char *error, size_t error_size);
typedef struct kelvs_replay_report {
    int loaded;               /* a replay is loaded */
    int diverged;             /* the driver left the trace; message says where */
    int complete;             /* every call of the trace was answered and nothing diverged */
    uint64_t calls_answered;  /* calls answered from the trace */
    uint64_t calls_recorded;  /* calls the trace holds, once it has been read to its end; else 0 */
    char message[1024];       /* "call 57: the trace has KELFPSCAN_CaptureRawData, the driver called
                                 KELFPSCAN_ImgQuality (arguments: ...)"; "" while nothing diverged */
} kelvs_replay_report;
void kelvs_replay_status(kelvs_replay_report *out);
/* Ends the replay: the sensor is itself again. kelvs_reset does it too. */
void kelvs_replay_stop(void);

/* Something the recorded host did between two calls, which the replaying host does again now. */
typedef enum {
    KELVS_REPLAY_EVENT_STOP = 0    /* the host asked the running operation to stop */
} kelvs_replay_event_kind;
typedef struct kelvs_replay_event {
    kelvs_replay_event_kind kind;
    uint64_t after_calls;          /* how many calls had returned when the host did it */
} kelvs_replay_event;
/* Called on the driver's thread while the sensor answers the call after the event's moment, before
 * that call returns, with no lock of the sensor held: the host may ask for the stop from another
 * thread and wait until it is asked, but it must not wait for the driver to acknowledge it (the driver
 * is inside this call). NULL removes it. */
typedef void (*kelvs_replay_event_listener)(const kelvs_replay_event *event, void *user);
void kelvs_set_replay_event_listener(kelvs_replay_event_listener listener, void *user);

#ifdef __cplusplus
}
#endif

#endif
