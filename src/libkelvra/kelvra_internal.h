// kelvra_internal.h - the driver's own routines, its notify ids and the sizes it works with.
#ifndef KELVRA_INTERNAL_H
#define KELVRA_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "bio_host.h"
#include "kelfpscan.h"
#include "kelvra_exported.h"
#include "kelvra_type.h"

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
static_assert(KELFPSCAN_MOC_IMAGE_WIDTH == KELFPSCAN_MOC_IMAGE_HEIGHT && KELVRA_MOC_SIDE == 96 &&
                  KELVRA_MOC_SIDE == KELVRA_EXPORTED_MOC_SIDE,
              "the finger-area estimator measures 96 x 96 frames");
static_assert(KELVRA_ONCHIP_RECORD_SIZE == 64 && KELVRA_ONCHIP_QUERY_SIZE >= KELVRA_ONCHIP_RECORD_SIZE,
              "the SDK reads 64 bytes of every on-chip record");

namespace kelvra {
// The operating-system tag under which on-chip templates are stored, and which open deletes after a fresh
// installation of the driver.
inline constexpr char kOsTag[] = "zuvo";
inline constexpr std::size_t kOsTagLength = sizeof kOsTag - 1;
}  // namespace kelvra

// Everything below is internal to the module (hidden) and reached only from its own sources and tests.
namespace kelvra {

inline kelvra_driver_t *priv_of(bio_dev *dev) { return static_cast<kelvra_driver_t *>(dev->dev_priv); }

// Counts an operation of the device as running for as long as it lives: each host-facing operation holds
// one from its entry to its return.
class RunningOperation {
public:
    explicit RunningOperation(bio_dev *dev) : priv_(priv_of(dev)) { ++priv_->operationsRunning; }
    ~RunningOperation() { --priv_->operationsRunning; }
    RunningOperation(const RunningOperation &) = delete;
    RunningOperation &operator=(const RunningOperation &) = delete;

private:
    kelvra_driver_t *priv_;
};

// The finger byte under which the sensor holds an index: its low byte (KELVRA_FINGER_ALL is every finger).
inline int finger_byte(int index) { return index & 0xFF; }

// The translated text of a message id of the driver's catalogue.
const char *tr(const char *msgid) __attribute__((format_arg(1)));

// Formats into extra_info (bounded, always terminated) with a translated text used as the format.
void set_extra_info(kelvra_driver_t *priv, const char *format, ...) __attribute__((format(printf, 2, 3)));
void vset_extra_info(kelvra_driver_t *priv, const char *format, va_list args) __attribute__((format(printf, 2, 0)));

// The user record of on-chip calls: uid in bytes 0 to 3, least significant first, the rest zero.
void fill_user_record(unsigned char *record, std::size_t size, int uid);

// ---- Waiting for a finger and for the sensor ----------------------------------------------------------
struct WaitOutcome;

// What a finger wait waits for. Neither is what the on-chip wait does for an action it does not know: it
// watches the frames until a stop or the time-out.
enum class FingerAwaited { Press, Lift, Neither };

// Match-on-host: frames graded by the SDK until one passes (Satisfied), a grade fails (SensorError), a stop
// or the time-out. end_finger_wait tells the host how a wait that was not satisfied ended.
WaitOutcome wait_for_graded_frame(bio_dev *dev, FingerAwaited awaited);
void end_finger_wait(bio_dev *dev, const WaitOutcome &wait);

// Match-on-chip: 96 x 96 frames measured by the finger-area estimator; Satisfied, Stopped or TimedOut.
WaitOutcome wait_for_presence(bio_dev *dev, FingerAwaited awaited);
// The percentage of a w x h frame (row-major, one grey byte a pixel) a finger covers, 0 to 100.
float covered_percentage(const unsigned char *img, int w, int h);

// One on-chip enrollment step for press `press`: Satisfied (accepted), Answer with the sensor's
// KELFPSCAN_ENROLL_OVERLAP, _ALREADY_STORED or _GAVE_UP, Stopped or TimedOut.
WaitOutcome run_enroll_step(bio_dev *dev, int press);
// The sensor's search for a finger of uid: Satisfied (a match, its id in *matchedId), Answer with
// KELFPSCAN_SEARCH_NO_MATCH, Stopped or TimedOut. end_sensor_wait tells the host how a step or a search
// that gave no usable answer ended: a stop, or a time-out (a sensor that gave up on a step is one too).
WaitOutcome search_on_sensor(bio_dev *dev, int uid, int *matchedId);
void end_sensor_wait(bio_dev *dev, const WaitOutcome &wait);

// ---- Parts of the operations ---------------------------------------------------------------------------

// The host-side walks: the duplicate check (true when a stored template of the user matches), and the
// template search (the first record that matched, or NULL; after a stop ctrlFlag is CTRL_STOPPED).
bool matches_stored_template(bio_dev *dev, const unsigned char *feature_data, int uid, int idx_start, int idx_end);
feature_info *search_stored_templates(bio_dev *dev, const unsigned char *feature_data, int uid, int idx_start,
                                      int idx_end);
// 1 when featureBuf scores above 400 against one of featureNum blocks laid end to end, else 0.
bool scores_above_enroll_threshold(bio_dev *dev, const unsigned char *templateFeature,
                                   const unsigned char *featureBuf, int featureNum);
// Every stored sample of the user in the range, counted (at most 255).
unsigned char count_stored_samples(bio_dev *dev, int uid, int idx_start, int idx_end);
// Deletes finger `finger` of uid on the sensor, or every finger when it is KELVRA_FINGER_ALL; the SDK's answer.
int delete_on_sensor(bio_dev *dev, int uid, int finger);

// Configuration, discovery and the marker check of a match-on-chip open.
void read_configuration(bio_dev *dev, GKeyFile *conf);
int count_sensors();
// The marker check of a match-on-chip open: with no marker file, the sensor removes the templates an earlier
// installation left under the tag, and the marker is written once it has.
struct ReinstallCheck {
    enum class End {
        MarkerPresent,
        EarlierTemplatesRemoved,  // the marker is written now
        NoMarkerPlace,            // the marker cannot be written (no driver directory): nothing is removed
        DeletionFailed,           // code: the sensor's answer; the marker stays absent, so the next check retries
    };
    End end;
    int code = 0;
};
ReinstallCheck check_marker(bio_dev *dev);
// The same, as the first release answered it: 0, -1 when the marker cannot be written, or the sensor's code.
int check_reinstall_marker(bio_dev *dev);

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
// The on-chip fingers first, then the records: 0 when both are gone, else the failing answer (the SDK's
// code, or the database's).
int clean_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end);
}  // namespace kelvra

#endif
