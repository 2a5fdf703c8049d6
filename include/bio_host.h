/* bio_host.h - the contract between the biometric host framework (libbiometric) and its drivers.
 *
 * Rules of this interface:
 *  - Plain C, usable from C and C++. Every call is made with the host's bio_dev record of one device.
 *  - The host owns bio_dev. A driver writes only driver_id, bioinfo, drv_api_version, enable, dev_priv
 *    and the ops_* slots (in kelvra_ops_configure); it reads device_name, enable, bioinfo.biotype and
 *    dev_priv. dev_status, ops_result and notify_mid are the host's and change only through the setters.
 *  - Strings handed to the host are copied by it; strings the host returns are host-owned unless a call
 *    says otherwise. feature_info lists returned by bio_sto_get_feature_info and by a driver's search
 *    or feature-list operation belong to the caller, who frees them with bio_sto_free_feature_info_list.
 *  - Status, result and notify codes below 100 are common codes that mean the same for every operation;
 *    100 and above belong to one operation (hundreds digit: 1 open, 2 enroll, 3 verify, 4 identify,
 *    5 capture, 6 search, 7 clean, 8 feature list, 9 rename). Notify ids 9 to 99 are the driver's own;
 *    the host asks the driver's ops_get_notify_mid_mesg for their texts.
 *  - The database handle is connected and disconnected around single calls; it is not shared by threads.
 *  - Conventions a host must keep, because drivers rely on them where the calls' shapes leave them open:
 *      . bio_sto_connect_db answers NULL when the database cannot be opened; bio_sto_disconnect_db accepts
 *        NULL, and a storage call given NULL fails (bio_sto_clean_feature_info answers non-zero).
 *      . bio_sto_set_feature_info and bio_sto_clean_feature_info answer 0 on success, non-zero otherwise.
 *      . bio_sto_get_feature_info answers only records of the selection asked for, and NULL when there are
 *        none. A failed query may answer NULL too, so a driver takes NULL for "none, or unknown" and must
 *        not delete anything on the strength of it.
 *      . bio_sto_new_feature_info, bio_sto_new_feature_sample and bio_sto_new_str copy the texts they are
 *        given (a NULL text stays NULL), and answer NULL when memory is exhausted.
 *      . bio_base64_encode writes plain base64 without line breaks (four characters for three bytes).
 *        bio_base64_decode writes no more bytes than the text decodes to, and answers a negative value
 *        when the text is not base64. What it answers on success differs between hosts (the byte count,
 *        0, 1): drivers read only the sign.
 *      . bio_get_notify_mid_mesg never answers NULL.
 *
 * What a program that runs drivers uses besides this (database location, time-out, log threshold,
 * journal and listeners) is the host library's own API, in bio_host_program.h; drivers never see it.
 */
#ifndef BIO_HOST_H
#define BIO_HOST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define BIO_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define BIO_PRINTF_FORMAT(fmt_index, first_arg)
#endif

/* The configuration a host hands to a driver is a GLib key file; drivers include <glib.h> to read it. */
typedef struct _GKeyFile GKeyFile;

/* ---- Descriptions of a device ---------------------------------------------------------------- */

typedef enum { BioT_FingerPrint = 0, BioT_FingerVein = 1, BioT_Iris = 2, BioT_Face = 3, BioT_VoicePrint = 4 } BioType;
typedef enum { StoT_Device = 0, StoT_OS = 1 } StoType;
typedef enum { EigT_Data = 0, EigT_Eigenvalue = 1, EigT_Eigenvector = 2 } EigType;
typedef enum { VerT_Hardware = 0, VerT_Software = 1, VerT_Mix = 2, VerT_Other = 3 } VerType;
typedef enum { IdT_Hardware = 0, IdT_Software = 1, IdT_Mix = 2, IdT_Other = 3 } IdType;
typedef enum { BusT_Serial = 0, BusT_USB = 1, BusT_PCIe = 2 } BusType;

/* What a host asks of an operation; the Kelvra driver does not consult it. */
typedef enum { ACTION_START = 0, ACTION_STOP = 1 } OpsActions;

/* ---- Device status ----------------------------------------------------------------------------- */
typedef enum {
    DEVS_COMM_IDLE = 0,
    DEVS_COMM_DOING = 1,
    DEVS_COMM_STOP_BY_USER = 2,
    DEVS_COMM_DISABLE = 3,
    DEVS_OPEN_DOING = 101,
    DEVS_OPEN_STOP_BY_USER = 102,
    DEVS_ENROLL_DOING = 201,
    DEVS_ENROLL_STOP_BY_USER = 202,
    DEVS_VERIFY_DOING = 301,
    DEVS_VERIFY_STOP_BY_USER = 302,
    DEVS_IDENTIFY_DOING = 401,
    DEVS_IDENTIFY_STOP_BY_USER = 402,
    DEVS_CAPTURE_DOING = 501,
    DEVS_CAPTURE_STOP_BY_USER = 502,
    DEVS_SEARCH_DOING = 601,
    DEVS_SEARCH_STOP_BY_USER = 602,
    DEVS_CLEAN_DOING = 701,
    DEVS_CLEAN_STOP_BY_USER = 702,
    DEVS_GET_FLIST_DOING = 801,
    DEVS_GET_FLIST_STOP_BY_USER = 802,
    DEVS_RENAME_DOING = 901,
    DEVS_RENAME_STOP_BY_USER = 902
} DevStatus;

/* ---- Operation results ------------------------------------------------------------------------- */
typedef enum {
    OPS_COMM_SUCCESS = 0,
    OPS_COMM_FAIL = 1,
    OPS_COMM_ERROR = 2,
    OPS_COMM_STOP_BY_USER = 3,
    OPS_COMM_TIMEOUT = 4,
    OPS_COMM_OUT_OF_MEM = 5,

    OPS_OPEN_SUCCESS = 100,
    OPS_OPEN_FAIL = 101,
    OPS_OPEN_ERROR = 102,

    OPS_ENROLL_SUCCESS = 200,
    OPS_ENROLL_FAIL = 201,
    OPS_ENROLL_ERROR = 202,
    OPS_ENROLL_STOP_BY_USER = 203,
    OPS_ENROLL_TIMEOUT = 204,

    OPS_VERIFY_MATCH = 300,
    OPS_VERIFY_NO_MATCH = 301,
    OPS_VERIFY_ERROR = 302,
    OPS_VERIFY_STOP_BY_USER = 303,
    OPS_VERIFY_TIMEOUT = 304,

    OPS_IDENTIFY_MATCH = 400,
    OPS_IDENTIFY_NO_MATCH = 401,
    OPS_IDENTIFY_ERROR = 402,
    OPS_IDENTIFY_STOP_BY_USER = 403,
    OPS_IDENTIFY_TIMEOUT = 404,

    OPS_CAPTURE_SUCCESS = 500,
    OPS_CAPTURE_FAIL = 501,

    OPS_SEARCH_MATCH = 600,
    OPS_SEARCH_NO_MATCH = 601,
    OPS_SEARCH_ERROR = 602,
    OPS_SEARCH_STOP_BY_USER = 603,
    OPS_SEARCH_TIMEOUT = 604,

    OPS_CLEAN_SUCCESS = 700,
    OPS_CLEAN_FAIL = 701,

    OPS_GET_FLIST_SUCCESS = 800,
    OPS_GET_FLIST_FAIL = 801,

    OPS_RENAME_SUCCESS = 900,
    OPS_RENAME_FAIL = 901
} OpsResult;

/* ---- Notify ids (what the user is being told) ---------------------------------------------------- */
typedef enum {
    NOTIFY_COMM_IDLE = 0,
    NOTIFY_COMM_FAIL = 1,
    NOTIFY_COMM_ERROR = 2,
    NOTIFY_COMM_STOP_BY_USER = 3,
    NOTIFY_COMM_TIMEOUT = 4,
    NOTIFY_COMM_DISABLE = 5,
    NOTIFY_COMM_OUT_OF_MEM = 6,
    NOTIFY_COMM_UNSUPPORTED_OPS = 7,
    NOTIFY_COMM_DEVICE_BUSY = 8,
    /* 9 to 99: the driver's own ids, texts from ops_get_notify_mid_mesg */
    NOTIFY_DRIVER_FIRST = 9,
    NOTIFY_DRIVER_LAST = 99,

    NOTIFY_OPEN_SUCCESS = 100,
    NOTIFY_OPEN_FAIL = 101,

    NOTIFY_ENROLL_SUCCESS = 200,
    NOTIFY_ENROLL_FAIL = 201,

    NOTIFY_VERIFY_MATCH = 300,
    NOTIFY_VERIFY_NO_MATCH = 301,

    NOTIFY_IDENTIFY_MATCH = 400,
    NOTIFY_IDENTIFY_NO_MATCH = 401,

    NOTIFY_CAPTURE_SUCCESS = 500,
    NOTIFY_CAPTURE_FAIL = 501,

    NOTIFY_SEARCH_MATCH = 600,
    NOTIFY_SEARCH_NO_MATCH = 601,

    NOTIFY_CLEAN_SUCCESS = 700,
    NOTIFY_CLEAN_FAIL = 701,

    NOTIFY_GET_FLIST_SUCCESS = 800,
    NOTIFY_GET_FLIST_FAIL = 801,

    NOTIFY_RENAME_SUCCESS = 900,
    NOTIFY_RENAME_FAIL = 901
} NotifyMID;

/* ---- Stored features ----------------------------------------------------------------------------- */

typedef struct feature_sample {
    long long dbid;              /* the host's row id; 0 for a sample not read from the database */
    int no;                      /* number of the sample within its record */
    char *data;                  /* the driver's text (base64 for templates); NUL-terminated, may be "" */
    struct feature_sample *next;
} feature_sample;

typedef struct feature_info {
    int uid;
    int biotype;
    char *driver;                /* the device_name of the driver that stored it */
    int index;
    char *index_name;
    feature_sample *sample;
    struct feature_info *next;
} feature_info;

/* An open feature database; opaque to drivers. */
typedef struct bio_sto_db bio_sto_db;

/* ---- The device record ------------------------------------------------------------------------- */

typedef struct bio_info {
    int biotype;                 /* BioType */
    int stotype;                 /* StoType */
    int eigtype;                 /* EigType */
    int vertype;                 /* VerType */
    int idtype;                  /* IdType */
    int bustype;                 /* BusType */
    const char *biodata;         /* free text of the host's; drivers leave it alone */
} bio_info;

typedef struct bio_api_version {
    int major;
    int minor;
    int function;
} bio_api_version;

typedef struct bio_dev bio_dev;

struct bio_dev {
    int driver_id;
    char *device_name;           /* also the configuration group and the driver key of stored features */
    char *full_name;
    int enable;                  /* 0: disabled by configuration */
    bio_info bioinfo;
    bio_api_version drv_api_version;
    void *dev_priv;              /* the driver's private record */

    /* Operation slots, in this order. A NULL slot is an operation the driver does not offer. */
    int (*ops_configure)(bio_dev *dev, GKeyFile *conf);
    int (*ops_driver_init)(bio_dev *dev);
    void (*ops_free)(bio_dev *dev);
    int (*ops_discover)(bio_dev *dev);
    int (*ops_open)(bio_dev *dev);
    void (*ops_close)(bio_dev *dev);
    char *(*ops_capture)(bio_dev *dev, OpsActions action);
    int (*ops_enroll)(bio_dev *dev, OpsActions action, int uid, int idx, char *idx_name);
    int (*ops_verify)(bio_dev *dev, OpsActions action, int uid, int idx);
    int (*ops_identify)(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
    feature_info *(*ops_search)(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
    int (*ops_clean)(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
    feature_info *(*ops_get_feature_list)(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
    int (*ops_feature_rename)(bio_dev *dev, int uid, int idx, char *new_name);
    int (*ops_stop_by_user)(bio_dev *dev, int waiting_ms);
    void (*ops_status_changed_callback)(bio_dev *dev, int status_type);
    const char *(*ops_get_dev_status_mesg)(bio_dev *dev);
    const char *(*ops_get_ops_result_mesg)(bio_dev *dev);
    const char *(*ops_get_notify_mid_mesg)(bio_dev *dev);
    void (*ops_attach)(bio_dev *dev);
    void (*ops_detach)(bio_dev *dev);

    /* The host's own state of the device; change it only through the setters below. */
    int dev_status;
    int ops_result;
    int notify_mid;
    int current_operation;       /* hundreds digit of the last busy status; 0 when none ran yet */
};

/* The entry point every driver module exports under this name. */
typedef int (*bio_driver_configure_fn)(bio_dev *dev, GKeyFile *conf);

/* ---- Calls a driver makes --------------------------------------------------------------------- */

/* A driver id not yet handed out in this process. */
int bio_get_empty_driver_id(void);
/* The boolean key "Enable" of the device's group; a missing or malformed key counts as enabled (1). */
int bio_dev_is_enable(bio_dev *dev, GKeyFile *conf);

void bio_set_dev_status(bio_dev *dev, int status);
int bio_get_dev_status(bio_dev *dev);
/* Common codes (OPS_COMM_*, NOTIFY_COMM_*): recorded as given, together with the operation running when
 * they were set (bio_dev.current_operation); operation values (100 and above) are recorded unchanged. */
void bio_set_ops_result(bio_dev *dev, int result);
void bio_set_ops_abs_result(bio_dev *dev, int result);
int bio_get_ops_result(bio_dev *dev);
void bio_set_notify_mid(bio_dev *dev, int mid);
void bio_set_notify_abs_mid(bio_dev *dev, int mid);
int bio_get_notify_mid(bio_dev *dev);
/* The text of the current notify id: the driver's for ids 9 to 99, the host's otherwise (never NULL). */
const char *bio_get_notify_mid_mesg(bio_dev *dev);

/* Milliseconds an operation may wait for the user. */
int bio_get_ops_timeout_ms(void);

void bio_print_debug(const char *fmt, ...) BIO_PRINTF_FORMAT(1, 2);
void bio_print_info(const char *fmt, ...) BIO_PRINTF_FORMAT(1, 2);
void bio_print_error(const char *fmt, ...) BIO_PRINTF_FORMAT(1, 2);

/* NULL when the database cannot be opened (the reason is logged). */
bio_sto_db *bio_sto_connect_db(void);
void bio_sto_disconnect_db(bio_sto_db *db);
/* Records of uid (-1: every user) with this biotype and driver whose index lies in [idx_start, idx_end]
 * (idx_end -1: no upper bound), ordered by index and then by the order they were stored, samples by no.
 * NULL when there are none or on a database error (logged). */
feature_info *bio_sto_get_feature_info(bio_sto_db *db, int uid, int biotype, const char *driver,
                                       int idx_start, int idx_end);
/* Deletes the same selection; 0 on success, non-zero on a database error. */
int bio_sto_clean_feature_info(bio_sto_db *db, int uid, int biotype, const char *driver,
                               int idx_start, int idx_end);
/* Stores the whole list with its samples in one transaction; 0 on success, non-zero otherwise and then
 * nothing of it is stored. */
int bio_sto_set_feature_info(bio_sto_db *db, feature_info *info);

feature_info *bio_sto_new_feature_info(int uid, int biotype, const char *driver, int index,
                                       const char *index_name);
feature_sample *bio_sto_new_feature_sample(int no, const char *data);
char *bio_sto_new_str(const char *text);
/* Frees one record with its samples (not the records behind it). NULL is allowed. */
void bio_sto_free_feature_info(feature_info *info);
/* Frees a whole list. NULL is allowed. */
void bio_sto_free_feature_info_list(feature_info *list);
void bio_sto_free_feature_sample_list(feature_sample *list);
/* Debug dump of a list (NULL allowed). */
void print_feature_info(feature_info *list);

/* Standard base64 (RFC 4648, with padding). encode writes 4 * ceil(length / 3) characters and a NUL and
 * returns the number of characters. decode returns the number of bytes decoded, writing exactly that
 * many, or -1 when the text is not valid base64 (nothing is written then); other hosts answer a success
 * differently, so drivers read only whether the answer is negative. */
int bio_base64_encode(const unsigned char *in, char *out, int length);
int bio_base64_decode(const char *text, unsigned char *out);
/* Bytes the text decodes to, or -1 when it is not valid base64; reads the text only. */
long bio_base64_decoded_length(const char *text);

#ifdef __cplusplus
}
#endif

#endif /* BIO_HOST_H */
