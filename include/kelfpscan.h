/* kelfpscan.h - the contract of the Kelvra Dactylen sensor SDK (libKelDactylen.so) as drivers use it.
 *
 * Rules of this interface:
 *  - Plain C, usable from C and C++. Every call returns an int: 0 for success unless the call says
 *    otherwise; other values are the SDK's codes.
 *  - KELFPSCAN_HANDLE is opaque. KELFPSCAN_OpenDevice fills it and KELFPSCAN_CloseDevice clears it.
 *  - Every buffer is the caller's and has the size stated here: raw images are width x height bytes as
 *    given by KELFPSCAN_GetImageInfo (96 x 96 in match-on-chip mode), feature blocks
 *    KELFPSCAN_FEATURE_SIZE bytes, templates count consecutive feature blocks. The SDK keeps no pointer
 *    to a caller's buffer after a call returns.
 *  - On-chip records: a user record carries the uid in bytes 0 to 3, least significant byte first; a
 *    finger record the finger index in byte 0 and, when it is stored, the length of the operating-system
 *    tag in byte 55 and the tag itself in bytes 56 and on. Callers pass 64 bytes to the store and 100
 *    bytes to search and deletion; the SDK reads no more than the first 64.
 *  - Calls on one handle are made from one thread at a time.
 */
#ifndef KELFPSCAN_H
#define KELFPSCAN_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void *KELFPSCAN_HANDLE;

enum {
    KELFPSCAN_FEATURE_SIZE = 20480,   /* bytes of one feature block */
    KELFPSCAN_MOC_IMAGE_WIDTH = 96,   /* raw frames in match-on-chip mode */
    KELFPSCAN_MOC_IMAGE_HEIGHT = 96,
    KELFPSCAN_RECORD_SIZE = 64        /* bytes of an on-chip user or finger record the SDK reads */
};

/* Codes of KELFPSCAN_EnrollForOS; any other code: the step is not finished, call again. */
enum {
    KELFPSCAN_ENROLL_ACCEPTED = 0,
    KELFPSCAN_ENROLL_POOR_IMAGE_A = 4,
    KELFPSCAN_ENROLL_POOR_IMAGE_B = 6,
    KELFPSCAN_ENROLL_POOR_IMAGE_C = 7,
    KELFPSCAN_ENROLL_NOT_FINISHED = 28,
    KELFPSCAN_ENROLL_OVERLAP = 32,
    KELFPSCAN_ENROLL_ALREADY_STORED = 252,
    KELFPSCAN_ENROLL_GAVE_UP = 254
};

/* Codes of KELFPSCAN_StoreTemplateForOS besides 0. */
enum { KELFPSCAN_STORE_FULL = 50 };

/* Codes of KELFPSCAN_SearchForOS; any other code: no answer yet, call again later. */
enum { KELFPSCAN_SEARCH_MATCH = 0, KELFPSCAN_SEARCH_BUSY = 2, KELFPSCAN_SEARCH_NO_MATCH = 9 };

/* Number of attached sensors in *count; a negative return is an error code. Needs no global set-up. */
int KELFPSCAN_GetDeviceCount(int *count);
/* Library set-up and release: non-zero means already set up, or not set up. */
int KELFPSCAN_GlobalInit(void);
int KELFPSCAN_GlobalFree(void);

/* Opens sensor number index (0: the first) into *handle. */
int KELFPSCAN_OpenDevice(KELFPSCAN_HANDLE *handle, int index);
/* Closes *handle and sets it to NULL. */
int KELFPSCAN_CloseDevice(KELFPSCAN_HANDLE *handle);

/* One byte: 0 match-on-host, non-zero match-on-chip. */
int KELFPSCAN_GetDeviceWorkMode(KELFPSCAN_HANDLE handle, unsigned char *mode);
int KELFPSCAN_GetImageInfo(KELFPSCAN_HANDLE handle, int *width, int *height, int *dpi);

/* Firmware facts, and the request that the sensor takes a firmware update at its next start. */
int KELFPSCAN_GetFwMinorVersion(KELFPSCAN_HANDLE handle, int *minor);
int KELFPSCAN_GetFwVersion(KELFPSCAN_HANDLE handle, unsigned char *version);
int KELFPSCAN_GetMcuType(KELFPSCAN_HANDLE handle, int *mcuType, int *sensorType);
int KELFPSCAN_SetTQ300UpdateFlag(KELFPSCAN_HANDLE handle);

/* One grey image, one byte per pixel, dark ridges on a light background. mode 0: a plain capture. */
int KELFPSCAN_CaptureRawData(KELFPSCAN_HANDLE handle, int mode, unsigned char *image);
/* Quality grade of an image: an empty sensor grades well below 25, a good press well above 50. */
int KELFPSCAN_ImgQuality(int width, int height, const unsigned char *image, int *quality);
/* A feature block of KELFPSCAN_FEATURE_SIZE bytes from the last capture. */
int KELFPSCAN_ExtractFeature(KELFPSCAN_HANDLE handle, int mode, unsigned char *feature);
/* Compares feature with count consecutive blocks at templates at security level level; fills a score
 * and a match word (0: a hit). On a non-zero return neither output is defined. */
int KELFPSCAN_VerifyExt(KELFPSCAN_HANDLE handle, int level, const unsigned char *feature, int count,
                        const unsigned char *templates, int *similarity, int *match);

/* On-chip enrollment: one step for press number step (codes above). */
int KELFPSCAN_EnrollForOS(KELFPSCAN_HANDLE handle, unsigned char step);
/* Stores the template the steps built under the user and finger records; KELFPSCAN_STORE_FULL when no
 * slot is free. */
int KELFPSCAN_StoreTemplateForOS(KELFPSCAN_HANDLE handle, const unsigned char *userRecord,
                                 const unsigned char *fingerRecord);
/* One on-chip search among the templates of the user (uid -1: every user). On a match *matchedId is
 * the finger index stored with the template. searchRes and matchScore are informative. */
int KELFPSCAN_SearchForOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo, unsigned char *searchRes,
                          int *matchedId, unsigned int *matchScore);
int KELFPSCAN_ResetIdentifyCntForOS(KELFPSCAN_HANDLE handle, int count);

/* On-chip deletion: one finger of a user, every finger of a user, everything stored under an
 * operating-system tag (a NUL-terminated string). */
int KELFPSCAN_DelUserFpsFroOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo,
                              const unsigned char *fingerInfo);
int KELFPSCAN_DelAllUserFpsFroOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo);
int KELFPSCAN_DelOSInfoFpsFroOS(KELFPSCAN_HANDLE handle, const char *osTag);

#ifdef __cplusplus
}
#endif

#endif /* KELFPSCAN_H */
