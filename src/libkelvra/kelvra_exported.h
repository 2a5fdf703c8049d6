// kelvra_exported.h - every name the module exports: the host's operations and the inherited surface.
//
// The host reaches the driver through kelvra_ops_configure, which it finds by name, and then only through
// the operation slots it fills. The other names below are the module's inherited surface: the first
// release of the driver exported its internal routines (iops_*), its finger-area estimator, its
// reinstall check, its module-wide variables and enroll_check, and diagnostic tools written against that
// release still look them up by symbol and call them with the arguments and answers they had then. They
// keep those spellings and those answers; kelvra.map lists them and a test checks the exported set.
// Inside the driver nothing calls them: the routines here are thin wrappers (kelvra_inherited.cpp) over
// the driver's own typed code in namespace kelvra, which is what new code calls.
#ifndef KELVRA_EXPORTED_H
#define KELVRA_EXPORTED_H

#include <cstddef>

#include "bio_host.h"

// Symbols the module exports; everything else stays inside it.
#define KELVRA_EXPORT __attribute__((visibility("default")))

// The on-chip frame is 96 x 96: imgBuf's size is part of what tools read.
inline constexpr int KELVRA_EXPORTED_MOC_SIDE = 96;

extern "C" {

// ---- The host's operations (the slots of bio_dev) ----------------------------------------------------
KELVRA_EXPORT int kelvra_ops_configure(bio_dev *dev, GKeyFile *conf);
KELVRA_EXPORT int kelvra_ops_driver_init(bio_dev *dev);
KELVRA_EXPORT void kelvra_ops_free(bio_dev *dev);
KELVRA_EXPORT void kelvra_ops_attach(bio_dev *dev);
KELVRA_EXPORT void kelvra_ops_detach(bio_dev *dev);
KELVRA_EXPORT int kelvra_ops_discover(bio_dev *dev);
KELVRA_EXPORT int kelvra_ops_open(bio_dev *dev);
KELVRA_EXPORT void kelvra_ops_close(bio_dev *dev);
KELVRA_EXPORT int kelvra_ops_enroll(bio_dev *dev, OpsActions action, int uid, int idx, char *idx_name);
KELVRA_EXPORT int kelvra_ops_verify(bio_dev *dev, OpsActions action, int uid, int idx);
KELVRA_EXPORT int kelvra_ops_identify(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
KELVRA_EXPORT feature_info *kelvra_ops_search(bio_dev *dev, OpsActions action, int uid, int idx_start,
                                              int idx_end);
KELVRA_EXPORT int kelvra_ops_clean(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
KELVRA_EXPORT feature_info *kelvra_ops_get_feature_list(bio_dev *dev, OpsActions action, int uid,
                                                        int idx_start, int idx_end);
KELVRA_EXPORT int kelvra_ops_stop_by_user(bio_dev *dev, int waiting_ms);
KELVRA_EXPORT const char *kelvra_ops_get_dev_status_mesg(bio_dev *dev);
KELVRA_EXPORT const char *kelvra_ops_get_ops_result_mesg(bio_dev *dev);
KELVRA_EXPORT const char *kelvra_ops_get_notify_mid_mesg(bio_dev *dev);

// ---- The inherited surface ---------------------------------------------------------------------------

// Module-wide state, one copy for every device of the module in the process. The work mode of the last
// successful open (non-zero: match-on-chip); the on-chip frame's width and height (96) and the frame.
KELVRA_EXPORT extern unsigned char mocmohFlag_Dev1;
KELVRA_EXPORT extern int w;
KELVRA_EXPORT extern int h;
KELVRA_EXPORT extern unsigned char imgBuf[KELVRA_EXPORTED_MOC_SIDE * KELVRA_EXPORTED_MOC_SIDE];

// Configuration and buffers: reads SecurityLevel and ImageQuality (always 0); zero-filled allocation,
// NULL-safe release, zero fill.
KELVRA_EXPORT int iops_para_config(bio_dev *dev, GKeyFile *conf);
KELVRA_EXPORT void *iops_buf_alloc(size_t size);
KELVRA_EXPORT void iops_buf_free(void *buf);
KELVRA_EXPORT void iops_buf_clean(void *buf, size_t size);

// The number of sensors (or the SDK's negative code); the marker check of a match-on-chip open (0 when the
// marker exists, -1 when it can neither be read nor made, else the answer of the tag's deletion).
KELVRA_EXPORT int iops_device_discover(void);
KELVRA_EXPORT int ReinstallOSCheck(bio_dev *dev);

// Finger waits. The match-on-host one (action 1 a press, any other a lift) answers 0, or -1 after telling
// the host a stop, a time-out or a grading error itself. The on-chip one (1 a press, -1 a lift, any other
// value neither) answers 0 or -1 and tells nothing. The estimator writes the covered percentage, answers 0.
KELVRA_EXPORT int iops_finger_status_check(bio_dev *dev, int action);
KELVRA_EXPORT int DevAlg_ImgQsize(unsigned char *img, int w, int h, float *size);
KELVRA_EXPORT int iops_finger_status_check_moc(bio_dev *dev, int action, int enrollCnt);

// Enrollment. The duplicate check answers 0 when a stored template of the user matches, else 1;
// enroll_check 1 when a block scores above 400 against one of featureNum blocks; the count writes the
// user's stored samples (at most 255) and answers 1; the step answers 0, 32 (overlap), 252 (already on the
// sensor), or -1 after telling a stop or a time-out.
KELVRA_EXPORT int iops_internel_enroll_search(bio_dev *dev, unsigned char *feature_data, int uid, int idx_start,
                                              int idx_end);
KELVRA_EXPORT int enroll_check(bio_dev *dev, unsigned char *templateFeature, unsigned char *featureBuf,
                               int featureNum);
KELVRA_EXPORT int iops_internel_enroll_count(bio_dev *dev, unsigned char *enrollCount, int uid, int idx_start,
                                             int idx_end);
KELVRA_EXPORT int iops_fingerEnroll_status_check(bio_dev *dev, int enrollCnt);

// Matching. The template walk returns a copy of the first record that matched (or NULL, with ctrlFlag 3
// after a stop and 4 otherwise); the on-chip variant never did anything; the on-chip search answers 0 (a
// match, the id in *matUserId), 9 (none), or -1 after telling a stop or a time-out.
KELVRA_EXPORT feature_info *iops_internel_search(bio_dev *dev, unsigned char *feature_data, int uid,
                                                 int idx_start, int idx_end);
KELVRA_EXPORT feature_info *iops_internel_searchForOS(bio_dev *dev, unsigned char *feature_data, int uid,
                                                      int matID, int idx_start, int idx_end);
KELVRA_EXPORT int iops_fingerIdentify_status_check(bio_dev *dev, int UID, int *matUserId);

// On-chip deletion of finger fpID of user UID, every finger when fpID is 255; the SDK's answer.
KELVRA_EXPORT int iops_fingerDel_status_check(bio_dev *dev, int UID, int fpID);

}  // extern "C"

#endif
