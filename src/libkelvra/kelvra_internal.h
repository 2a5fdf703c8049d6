// kelvra_internal.h - the driver's internal routines, its notify ids and its module-wide state.
#ifndef KELVRA_INTERNAL_H
#define KELVRA_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "bio_host.h"
#include "kelfpscan.h"
#include "kelvra_type.h"

// Symbols the module exports; everything else stays inside it.
#define KELVRA_EXPORT __attribute__((visibility("default")))

#define KELVRA_TEXT_DOMAIN "biometric-driver-kelvra-dactylen"

// The driver's own notify ids; the host asks kelvra_ops_get_notify_mid_mesg for their texts.
enum kelvra_notify_mid {
    MID_EXTENDED_MESSAGE = 9,  // text: extra_info
    MID_NEED_PRESS = 10,
    MID_NEED_LIFT = 11,
    MID_GEN_TEMPLATE = 12,
    MID_IDENTIFY = 13,
};

// Sizes the driver works with. Those the SDK defines are taken from its contract; the asserts state what
// stored records and on-chip records depend on, so a change of the SDK's header cannot pass unnoticed.
constexpr int KELVRA_FEATURE_SIZE = KELFPSCAN_FEATURE_SIZE;   // one feature block
constexpr int KELVRA_ENROLL_PRESSES = 6;                      // presses per enrollment, in both work modes
constexpr int KELVRA_TEMPLATE_BLOCKS = KELVRA_ENROLL_PRESSES;  // a host-side template keeps one block per press
constexpr int KELVRA_TEMPLATE_SIZE = KELVRA_FEATURE_SIZE * KELVRA_TEMPLATE_BLOCKS;
constexpr int KELVRA_TEMPLATE_TEXT_SIZE = KELVRA_TEMPLATE_SIZE * 2;  // the area the base64 text is written into
constexpr int KELVRA_MOC_SIDE = KELFPSCAN_MOC_IMAGE_WIDTH;    // on-chip frames are square
constexpr int KELVRA_ONCHIP_RECORD_SIZE = KELFPSCAN_RECORD_SIZE;  // user and finger records handed to the store
constexpr int KELVRA_ONCHIP_QUERY_SIZE = 100;                 // user and finger records of search and delete
constexpr int KELVRA_FINGER_ALL = 255;                        // finger number meaning every finger

static_assert(KELVRA_TEMPLATE_SIZE == 122880, "stored host-side templates are six blocks of 20480 bytes");
static_assert(KELVRA_TEMPLATE_SIZE % 3 == 0, "an encoded template carries no padding");
static_assert(KELVRA_TEMPLATE_TEXT_SIZE > KELVRA_TEMPLATE_SIZE / 3 * 4, "the encoded text and its NUL fit");
static_assert(KELFPSCAN_MOC_IMAGE_WIDTH == KELFPSCAN_MOC_IMAGE_HEIGHT && KELVRA_MOC_SIDE == 96,
              "the finger-area estimator measures 96 x 96 frames");
static_assert(KELVRA_ONCHIP_RECORD_SIZE == 64 && KELVRA_ONCHIP_QUERY_SIZE >= KELVRA_ONCHIP_RECORD_SIZE,
              "the SDK reads 64 bytes of every on-chip record");

namespace kelvra {
// The operating-system tag under which on-chip templates are stored, and which open deletes after a fresh
// installation of the driver.
inline constexpr char kOsTag[] = "zuvo";
inline constexpr std::size_t kOsTagLength = sizeof kOsTag - 1;
}  // namespace kelvra

extern "C" {

// Module-wide state, shared by every device of the module in the process.
KELVRA_EXPORT extern unsigned char mocmohFlag_Dev1;  // work mode of the last successful open
KELVRA_EXPORT extern int w;                           // on-chip frame width, 96
KELVRA_EXPORT extern int h;                           // on-chip frame height, 96
KELVRA_EXPORT extern unsigned char imgBuf[KELVRA_MOC_SIDE * KELVRA_MOC_SIDE];

// Host-facing operations (the slots of bio_dev).
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

// Configuration and buffers.
KELVRA_EXPORT int iops_para_config(bio_dev *dev, GKeyFile *conf);
KELVRA_EXPORT void *iops_buf_alloc(size_t size);
KELVRA_EXPORT void iops_buf_free(void *buf);
KELVRA_EXPORT void iops_buf_clean(void *buf, size_t size);

// Discovery and the operating-system marker.
KELVRA_EXPORT int iops_device_discover(void);
KELVRA_EXPORT int ReinstallOSCheck(bio_dev *dev);

// Waiting for a finger: match-on-host grading loop, finger-area estimator, on-chip presence loop.
KELVRA_EXPORT int iops_finger_status_check(bio_dev *dev, int action);
KELVRA_EXPORT int DevAlg_ImgQsize(unsigned char *img, int w, int h, float *size);
KELVRA_EXPORT int iops_finger_status_check_moc(bio_dev *dev, int action, int enrollCnt);

// Enrollment.
KELVRA_EXPORT int iops_internel_enroll_search(bio_dev *dev, unsigned char *feature_data, int uid, int idx_start,
                                              int idx_end);
KELVRA_EXPORT int enroll_check(bio_dev *dev, unsigned char *templateFeature, unsigned char *featureBuf,
                               int featureNum);
KELVRA_EXPORT int iops_internel_enroll_count(bio_dev *dev, unsigned char *enrollCount, int uid, int idx_start,
                                             int idx_end);
KELVRA_EXPORT int iops_fingerEnroll_status_check(bio_dev *dev, int enrollCnt);

// Matching.
KELVRA_EXPORT feature_info *iops_internel_search(bio_dev *dev, unsigned char *feature_data, int uid,
                                                 int idx_start, int idx_end);
KELVRA_EXPORT feature_info *iops_internel_searchForOS(bio_dev *dev, unsigned char *feature_data, int uid,
                                                      int matID, int idx_start, int idx_end);
KELVRA_EXPORT int iops_fingerIdentify_status_check(bio_dev *dev, int UID, int *matUserId);

// On-chip deletion.
KELVRA_EXPORT int iops_fingerDel_status_check(bio_dev *dev, int UID, int fpID);

}  // extern "C"

// Everything below is internal to the module (hidden) and reached only from its own sources and tests.
namespace kelvra {

inline kelvra_driver_t *priv_of(bio_dev *dev) { return static_cast<kelvra_driver_t *>(dev->dev_priv); }

// The translated text of a message id of the driver's catalogue.
const char *tr(const char *msgid) __attribute__((format_arg(1)));

// Formats into extra_info (bounded, always terminated) with a translated text used as the format.
void set_extra_info(kelvra_driver_t *priv, const char *format, ...) __attribute__((format(printf, 2, 3)));
void vset_extra_info(kelvra_driver_t *priv, const char *format, va_list args) __attribute__((format(printf, 2, 0)));

// The user record of on-chip calls: uid in bytes 0 to 3, least significant first, the rest zero.
void fill_user_record(unsigned char *record, std::size_t size, int uid);

// The operations' branches by work mode. The host-facing operations in kelvra_driver.cpp have already
// found the device enabled (and, for enroll, paused; for clean, set the busy status) and pick the branch
// from mocmohFlag_Dev1.
int enroll_host_mode(bio_dev *dev, int uid, int idx, char *idx_name);
int enroll_chip_mode(bio_dev *dev, int uid, int idx, char *idx_name);
int verify_host_mode(bio_dev *dev, int uid, int idx);
int verify_chip_mode(bio_dev *dev, int uid, int idx);
int identify_host_mode(bio_dev *dev, int uid, int idx_start, int idx_end);
int identify_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end);
feature_info *search_host_mode(bio_dev *dev, int uid, int idx_start, int idx_end);
feature_info *search_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end);
int clean_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end);

// Deletes the user's records in the range from the feature database in one connection; the database's
// answer, 0 on success. clean_database also ends the clean with it (OPS_CLEAN_SUCCESS, or OPS_CLEAN_FAIL
// with NOTIFY_CLEAN_FAIL).
int remove_records(bio_dev *dev, int uid, int idx_start, int idx_end);
int clean_database(bio_dev *dev, int uid, int idx_start, int idx_end);

}  // namespace kelvra

#endif
