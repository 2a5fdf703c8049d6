// kelvra_chip_mode.cpp - match-on-chip enroll, verify, identify, search, on-chip deletion and clean.
//
// The sensor keeps and matches the templates; the driver guides the presses and keeps a bookkeeping
// record per finger in the host's database.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "kelvra_endings.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"
#include "kelvra_records.h"
#include "kelvra_wait.h"

namespace {

using kelvra::priv_of;
using kelvra::tr;

constexpr int kPresses = KELVRA_ENROLL_PRESSES;
// The sixth press is asked for without waiting for the fifth to lift; this pause stands in for it.
constexpr int kLastLiftPauseMs = 1000;
constexpr int kDetectToStepPauseMs = 50;
constexpr int kStepPollMs = 50;
constexpr int kBeforeStorePauseMs = 500;
constexpr int kReadMessagePauseMs = 1500;
constexpr int kSearchRetryPauseMs = 500;
// A user may keep this many stored samples (of either work mode) on one device.
constexpr unsigned kMaxStoredSamples = 9;
constexpr int kIdentifyResetCount = 4;

// Finger record handed to the store: index in byte 0, the operating-system tag's length in byte 55
// and the tag itself from byte 56, without terminator.
constexpr std::size_t kTagLengthOffset = 55;
constexpr std::size_t kTagOffset = 56;
static_assert(kTagOffset + kelvra::kOsTagLength <= KELVRA_ONCHIP_RECORD_SIZE, "the tag fits the finger record");

using OnchipRecord = std::array<unsigned char, KELVRA_ONCHIP_RECORD_SIZE>;
using OnchipQuery = std::array<unsigned char, KELVRA_ONCHIP_QUERY_SIZE>;

using kelvra::DbConnection;
using kelvra::FeatureList;

using kelvra::WaitOutcome;
using kelvra::FingerAwaited;

// The user's records on this device with an index in the range; none when the database cannot be opened.
FeatureList query_records(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    return std::move(kelvra::read_user_records(dev, uid, idx_start, idx_end).list);
}

// One finger of one user on the sensor, whatever its number: unlike delete_on_sensor, finger 255
// is not every finger here.
int delete_one_finger(kelvra_driver_t *priv, int uid, int finger)
{
    OnchipQuery userInfo{};
    kelvra::fill_user_record(userInfo.data(), userInfo.size(), uid);
    OnchipQuery fingerInfo{};
    fingerInfo[0] = static_cast<unsigned char>(finger & 0xFF);
    return KELFPSCAN_DelUserFpsFroOS(priv->handle, userInfo.data(), fingerInfo.data());
}

OnchipRecord finger_record_for_store(int idx)
{
    OnchipRecord record{};
    record[0] = static_cast<unsigned char>(idx & 0xFF);
    record[kTagLengthOffset] = static_cast<unsigned char>(kelvra::kOsTagLength);
    std::memcpy(record.data() + kTagOffset, kelvra::kOsTag, kelvra::kOsTagLength);
    return record;
}

// The bookkeeping record that lists an on-chip finger with the keys of a host-side template; the
// sensor holds the template, so its sample carries no data.
bool write_bookkeeping_record(bio_dev *dev, int uid, int idx, char *idx_name)
{
    FeatureList info{bio_sto_new_feature_info(uid, dev->bioinfo.biotype, dev->device_name, idx, idx_name)};
    if (!info)
        return false;
    info->index = idx;
    info->sample = bio_sto_new_feature_sample(1, "");
    if (info->sample == nullptr)
        return false;
    print_feature_info(info.get());
    DbConnection db = kelvra::connect_db();
    if (!db)
        return false;
    return bio_sto_set_feature_info(db.get(), info.get()) == 0;
}

// The host's range rule: from idx_start up, and up to idx_end unless idx_end is negative.
bool in_range(int index, int idx_start, int idx_end)
{
    return index >= idx_start && (idx_end < 0 || index <= idx_end);
}

// The indexes the database lists for the user in the range, by the finger byte the sensor holds them
// under (ascending), and the bytes of the user's records outside the range; nothing when the database
// cannot say. The host answers an empty selection and a failed query alike (no list), so no list is taken
// for "cannot say": cleaning a range of the database without knowing which fingers the sensor holds there
// could leave fingers on the sensor that no list shows and no clean reaches again.
struct ListedFingers {
    std::map<int, std::vector<int>> in_range;  // finger byte -> the indexes held under it
    std::set<int> outside;                     // finger bytes
};
std::optional<ListedFingers> fingers_listed(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const FeatureList list = query_records(dev, uid, INT_MIN, -1);
    ListedFingers fingers;
    for (const feature_info *record = list.get(); record != nullptr; record = record->next) {
        const int byte = kelvra::finger_byte(record->index);
        if (!in_range(record->index, idx_start, idx_end)) {
            fingers.outside.insert(byte);
            continue;
        }
        std::vector<int> &indexes = fingers.in_range[byte];
        if (std::find(indexes.begin(), indexes.end(), record->index) == indexes.end())
            indexes.push_back(record->index);
    }
    if (fingers.in_range.empty())
        return std::nullopt;
    return fingers;
}

constexpr int kAnyUser = -1;

// The first record of the list (of the owner, or of any user) that the sensor's matched id stands for: its
// index, or an index above 254 that the sensor holds under its low byte.
const feature_info *record_of_match(const feature_info *list, int matchedId, int owner = kAnyUser)
{
    for (const feature_info *record = list; record != nullptr; record = record->next)
        if ((owner == kAnyUser || record->uid == owner) &&
            (record->index == matchedId || kelvra::finger_byte(record->index) == matchedId))
            return record;
    return nullptr;
}

// The users, in database order, whose records the matched id stands for.
std::vector<int> users_of_match(const feature_info *list, int matchedId)
{
    std::vector<int> users;
    for (const feature_info *record = list; record != nullptr; record = record->next)
        if (record_of_match(record, matchedId) == record &&
            std::find(users.begin(), users.end(), record->uid) == users.end())
            users.push_back(record->uid);
    return users;
}

// The sensor may hold templates the database does not list (left by a deletion that failed, an earlier
// installation or another program): a match counts only for a finger the database lists for the user in
// the range asked about, read with the host's own range rules.
bool match_is_listed(bio_dev *dev, const FeatureList &listed, int uid, int matchedId)
{
    if (record_of_match(listed.get(), matchedId) != nullptr)
        return true;
    bio_print_error(tr("[%s] The sensor matched fingerprint %d of UID %d, which the feature database does not list "
                       "there; it does not count as a match\n"),
                    dev->device_name, matchedId, uid);
    return false;
}

// The samples of every record, saturated: a byte that wrapped at 256 samples would let the user past the
// limit again.
unsigned char count_samples(const FeatureList &info_list)
{
    unsigned count = 0;
    for (const feature_info *record = info_list.get(); record != nullptr; record = record->next)
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next)
            ++count;
    return static_cast<unsigned char>(count > 0xFF ? 0xFF : count);
}

// The sensor holds an index under its low byte: 255 stands for every finger, and a byte another of the
// user's indexes has would make the two one finger, which no clean could delete alone.
bool sensor_can_hold_apart(const FeatureList &users_records, int idx)
{
    const int byte = kelvra::finger_byte(idx);
    if (byte == KELVRA_FINGER_ALL)
        return false;
    for (const feature_info *record = users_records.get(); record != nullptr; record = record->next)
        if (record->index != idx && kelvra::finger_byte(record->index) == byte)
            return false;
    return true;
}

// After the sensor matched, search names the stored finger: the first record in database order that the
// matched id stands for, with its first sample; or it was stopped before it found it.
struct MatchedRecord {
    bool stopped = false;
    FeatureList found;
};

MatchedRecord walk_for_matched_record(kelvra_driver_t *priv, const FeatureList &info_list, int matchedId, int owner)
{
    const feature_info *matched = record_of_match(info_list.get(), matchedId, owner);
    MatchedRecord walk;
    // A stop that came in while the sensor answered is honoured rather than overwritten.
    walk.stopped = !kelvra::arm_walk(priv);
    for (const feature_info *record = info_list.get(); record != nullptr && !walk.stopped; record = record->next) {
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next) {
            if (priv->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
                walk.stopped = true;
                break;
            }
            if (record == matched) {
                walk.found = kelvra::copy_record(record, sample);
                break;
            }
        }
        if (record == matched)
            break;
    }
    if (walk.stopped)
        walk.found.reset();
    else
        priv->ctrlFlag = CTRL_FINISHED;
    return walk;
}

// The shared start of the three matching operations: the running status, the press prompt and the
// sensor's search.
WaitOutcome search_for_finger(bio_dev *dev, int doing, int uid, int *matchedId)
{
    bio_set_dev_status(dev, doing);
    // Asked before every identify; its answer does not change what the search does.
    if (doing == DEVS_IDENTIFY_DOING)
        KELFPSCAN_ResetIdentifyCntForOS(priv_of(dev)->handle, kIdentifyResetCount);
    kelvra::prompt(dev, MID_NEED_PRESS);
    return kelvra::search_on_sensor(dev, uid, matchedId);
}

bool answered(const WaitOutcome &wait, int code)
{
    return wait.end == WaitOutcome::End::Answer && wait.code == code;
}

// Whose finger a search among every user matched. The sensor answers only the finger's id, and the id may
// be another user's template that the database does not list (or lists under another index), so each user
// whose records stand for the id is asked about alone, in database order; the first the sensor matches
// under the same id owns it. A search about one user needs no such question.
struct MatchOwner {
    bool stopped = false;
    std::optional<int> uid;
};
MatchOwner owner_of_match(bio_dev *dev, const FeatureList &listed, int uid, int matchedId)
{
    if (uid != kAnyUser)
        return {false, uid};
    for (int user : users_of_match(listed.get(), matchedId)) {
        int confirmedId = -1;
        const WaitOutcome narrowed = kelvra::search_on_sensor(dev, user, &confirmedId);
        if (narrowed.end == WaitOutcome::End::Stopped)
            return {true, std::nullopt};
        if (narrowed.satisfied() && confirmedId == matchedId)
            return {false, user};
    }
    bio_print_error(tr("[%s] The sensor matched fingerprint %d among every user, but not for any user the feature "
                       "database lists it for; it does not count as a match\n"),
                    dev->device_name, matchedId);
    return {};
}

// A match of the sensor that counts: listed in the range asked about, and among every user the match of a
// user the sensor confirms.
MatchOwner counted_match(bio_dev *dev, const FeatureList &listed, int uid, int matchedId)
{
    if (!match_is_listed(dev, listed, uid, matchedId))
        return {};
    return owner_of_match(dev, listed, uid, matchedId);
}

// How an on-chip enrollment ended.
struct ChipEnrollment {
    enum class End {
        Enrolled,
        LimitReached,     // the user has as many samples as a user may have
        IndexNotApart,    // the sensor would hold the index as every finger or as another of the user's
        FingerWaitEnded,  // a press or a lift was not seen: `wait` says why (a stop or a time-out)
        StepEnded,        // the sensor's step gave no usable answer: `wait` says why
        AlreadyEnrolled,  // the sensor holds this finger already
        StoreFull,        // code: the sensor's answer
        StoreFailed,      // code: the sensor's answer
        NotRecorded,      // the bookkeeping record could not be written; code: the answer of the deletion
        ReplacementNotRecorded,  // the index was listed already and the new record could not be written:
                                 // the sensor still holds the finger enrolled before
        RecordsUnknown,   // the database could not be read, so the index could not be checked
        EarlierTemplatesKept,  // code: the sensor's answer to removing an earlier installation's templates
    };
    End end;
    WaitOutcome wait{WaitOutcome::End::Satisfied};
    int code = 0;
};

// The six presses and the sensor's step for each. A press the sensor finds too close to an earlier one is
// a retry: the same press is taken again once the finger has left.
ChipEnrollment take_presses_on_sensor(bio_dev *dev)
{
    using End = ChipEnrollment::End;
    int i = 1;
    while (i <= kPresses) {
        kelvra::announce(dev, kelvra::LogAs::Prompt,
                         tr("[%d/%d] fingerprint is being sampled. Please press different parts of your finger"),
                         i, kPresses);
        if (const WaitOutcome press = kelvra::wait_for_presence(dev, FingerAwaited::Press); !press.satisfied())
            return {End::FingerWaitEnded, press};
        kelvra::sleep_ms(kDetectToStepPauseMs);

        const WaitOutcome step = kelvra::run_enroll_step(dev, i);
        if (answered(step, KELFPSCAN_ENROLL_OVERLAP)) {
            // The sensor's two step texts are their own message ids: hosts without a catalogue have always
            // shown them as written.
            kelvra::announce(dev, kelvra::LogAs::Prompt, tr("该次注册重复度高，请抬起手指，重新按压不同位置\n"));
            if (const WaitOutcome lift = kelvra::wait_for_presence(dev, FingerAwaited::Lift); !lift.satisfied())
                return {End::FingerWaitEnded, lift};
            continue;
        }
        if (answered(step, KELFPSCAN_ENROLL_ALREADY_STORED)) {
            kelvra::announce(dev, kelvra::LogAs::Prompt, tr("该手指已注册\n"));
            kelvra::sleep_ms(kReadMessagePauseMs);
            return {End::AlreadyEnrolled};
        }
        if (!step.satisfied())
            return {End::StepEnded, step};

        ++i;
        if (i < kPresses) {
            bio_set_notify_abs_mid(dev, MID_NEED_LIFT);
            if (const WaitOutcome lift = kelvra::wait_for_presence(dev, FingerAwaited::Lift); !lift.satisfied())
                return {End::FingerWaitEnded, lift};
        }
        if (i == kPresses) {
            bio_set_notify_abs_mid(dev, MID_NEED_LIFT);
            kelvra::sleep_ms(kLastLiftPauseMs);
        }
    }
    return {End::Enrolled};
}

// The user's records in the range for a decision about the sensor's finger bytes; nothing when the database
// could not be opened. The host answers a failed read as it answers no records, so an empty answer is asked
// again once: taken for "none" on a passing failure, it would let an enrollment onto the finger byte of
// another index, or a clean delete a byte another record is held under.
std::optional<FeatureList> read_records_surely(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    bool opened = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        kelvra::UserRecords records = kelvra::read_user_records(dev, uid, idx_start, idx_end);
        if (records.list)
            return std::move(records.list);
        opened = records.database_opened;
    }
    if (!opened)
        return std::nullopt;
    return FeatureList{};
}

bool lists_index(const FeatureList &records, int idx)
{
    for (const feature_info *record = records.get(); record != nullptr; record = record->next)
        if (record->index == idx)
            return true;
    return false;
}

ChipEnrollment enroll_on_sensor(bio_dev *dev, int uid, int idx, char *idx_name)
{
    using End = ChipEnrollment::End;
    kelvra_driver_t *priv = priv_of(dev);

    const std::optional<FeatureList> read = read_records_surely(dev, uid, 0, -1);
    if (!read)
        return {End::RecordsUnknown};
    const FeatureList &users_records = *read;
    if (count_samples(users_records) > kMaxStoredSamples) {
        kelvra::announce(dev, kelvra::LogAs::Nothing, tr("该用户指纹注册个数已达上限!"));
        kelvra::sleep_ms(kReadMessagePauseMs);
        return {End::LimitReached};
    }
    if (!sensor_can_hold_apart(users_records, idx))
        return {End::IndexNotApart};
    // An open whose removal of an earlier installation's templates failed left the marker absent, so the
    // next open removes them: a finger stored before then would go with them, still listed.
    if (const kelvra::ReinstallCheck earlier = kelvra::check_marker(dev);
        earlier.end == kelvra::ReinstallCheck::End::DeletionFailed)
        return {End::EarlierTemplatesKept, {WaitOutcome::End::Satisfied}, earlier.code};

    const ChipEnrollment presses = take_presses_on_sensor(dev);
    if (presses.end != End::Enrolled)
        return presses;

    // The store replaces the finger of an index listed already, which no deletion could bring back: its
    // record comes first, and a record that cannot be written leaves the earlier finger where it is. Should
    // the store fail then, the index is listed as before, with one record more.
    const bool replaces = lists_index(users_records, idx);
    if (replaces && !write_bookkeeping_record(dev, uid, idx, idx_name))
        return {End::ReplacementNotRecorded};

    OnchipRecord usrInfoBuf{};
    kelvra::fill_user_record(usrInfoBuf.data(), usrInfoBuf.size(), uid);
    OnchipRecord usrIDBuf = finger_record_for_store(idx);

    kelvra::sleep_ms(kBeforeStorePauseMs);
    const int ret = KELFPSCAN_StoreTemplateForOS(priv->handle, usrInfoBuf.data(), usrIDBuf.data());
    if (ret == KELFPSCAN_STORE_FULL)
        return {End::StoreFull, {WaitOutcome::End::Satisfied}, ret};
    if (ret != 0)
        return {End::StoreFailed, {WaitOutcome::End::Satisfied}, ret};

    if (replaces || write_bookkeeping_record(dev, uid, idx, idx_name))
        return {End::Enrolled};
    // A finger the database does not list could never be deleted by clean and would keep unlocking the
    // account, so the template just stored goes again.
    return {End::NotRecorded, {WaitOutcome::End::Satisfied}, delete_one_finger(priv, uid, idx)};
}

// The records of fingers the sensor has let go; a refusal is told, since those records now list fingers the
// sensor no longer holds (a later clean of them removes them).
int remove_released_records(const DbConnection &db, bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const int ret = kelvra::remove_records_after_sensor(db, dev, uid, idx_start, idx_end);
    if (ret != 0)
        bio_print_error(tr("[%s] The sensor deleted the fingerprints of UID %d in indexes %d to %d, but the feature "
                           "database kept their records (error code %d); clean them again to remove them\n"),
                        dev->device_name, uid, idx_start, idx_end, ret);
    return ret;
}

// Whether a record of the user (of any user for uid -1) whose index is not `index` is held under its finger
// byte; a database that cannot be read may hold one.
bool byte_held_outside(bio_dev *dev, int uid, int index)
{
    const std::optional<FeatureList> list = read_records_surely(dev, uid, INT_MIN, -1);
    if (!list)
        return true;
    for (const feature_info *record = list->get(); record != nullptr; record = record->next)
        if (record->index != index && kelvra::finger_byte(record->index) == index)
            return true;
    return false;
}

// Any range but every finger or one: the sensor's deletion of every finger would take fingers outside the
// range with it, so each finger byte the database lists in the range is deleted on its own, and only the
// records of the bytes the sensor let go leave the database. A byte that stands for every finger, or that
// one of the user's records outside the range shares, cannot be deleted alone: its records stay.
int clean_listed_fingers(const DbConnection &db, bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const std::optional<ListedFingers> listed = fingers_listed(dev, uid, idx_start, idx_end);
    if (!listed) {
        bio_print_error(tr("[%s] The feature database could not tell which fingerprints of UID %d lie in indexes "
                           "%d to %d; nothing was deleted\n"),
                        dev->device_name, uid, idx_start, idx_end);
        return -1;
    }
    int first_error = 0;
    bool kept = false;
    std::vector<int> deleted;
    for (const auto &[byte, indexes] : listed->in_range) {
        if (byte == KELVRA_FINGER_ALL || listed->outside.count(byte) != 0) {
            for (int index : indexes)
                bio_print_error(tr("[%s] The sensor cannot delete fingerprint %d of UID %d without other "
                                   "fingerprints of the user; its record is kept\n"),
                                dev->device_name, index, uid);
            kept = true;
            continue;
        }
        const int del = delete_one_finger(priv_of(dev), uid, byte);
        if (del == 0) {
            deleted.insert(deleted.end(), indexes.begin(), indexes.end());
            continue;
        }
        for (int index : indexes)
            bio_print_error(tr("[%s] The sensor could not delete fingerprint %d of UID %d (error code %d); its "
                               "record is kept\n"),
                            dev->device_name, index, uid, del);
        if (first_error == 0)
            first_error = del;
    }
    if (first_error == 0 && !kept)
        return remove_released_records(db, dev, uid, idx_start, idx_end);
    for (int index : deleted)
        remove_released_records(db, dev, uid, index, index);
    return first_error != 0 ? first_error : -1;
}

}  // namespace

namespace kelvra {

unsigned char count_stored_samples(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    return count_samples(query_records(dev, uid, idx_start, idx_end));
}

WaitOutcome run_enroll_step(bio_dev *dev, int press)
{
    kelvra_driver_t *priv = priv_of(dev);
    return wait_until(priv, [&] {
        const int ret = KELFPSCAN_EnrollForOS(priv->handle, static_cast<unsigned char>(press));
        switch (ret) {
        case KELFPSCAN_ENROLL_ACCEPTED:
            return Pass::satisfied();
        case KELFPSCAN_ENROLL_GAVE_UP:
        case KELFPSCAN_ENROLL_ALREADY_STORED:
        case KELFPSCAN_ENROLL_OVERLAP:
            return Pass::answer(ret);
        case KELFPSCAN_ENROLL_POOR_IMAGE_A:
        case KELFPSCAN_ENROLL_POOR_IMAGE_B:
        case KELFPSCAN_ENROLL_POOR_IMAGE_C:
            // Retry within the same step. The step grades no image itself, so the grade shown is 0.
            announce(dev, LogAs::Error,
                     tr("The fingerprint image quality is poor[%d], please press your finger again\n"), 0);
            return Pass::retry(kStepPollMs);
        default:
            // The sensor has not decided the step yet.
            return Pass::not_yet(kStepPollMs);
        }
    });
}

WaitOutcome search_on_sensor(bio_dev *dev, int uid, int *matchedId)
{
    kelvra_driver_t *priv = priv_of(dev);
    OnchipQuery userInfo{};
    fill_user_record(userInfo.data(), userInfo.size(), uid);
    // Filled by the sensor with every answer; the driver has no use for them.
    unsigned char searchRes = 0;
    unsigned int matchScore = 0;
    return wait_until(priv, [&] {
        const int ret = KELFPSCAN_SearchForOS(priv->handle, userInfo.data(), &searchRes, matchedId, &matchScore);
        switch (ret) {
        case KELFPSCAN_SEARCH_MATCH:
            return Pass::satisfied();
        case KELFPSCAN_SEARCH_NO_MATCH:
            return Pass::answer(ret);
        case KELFPSCAN_SEARCH_BUSY:
            // The sensor is still searching: ask again at once, within the same time-out.
            return Pass::not_yet(0);
        default:
            return Pass::not_yet(kSearchRetryPauseMs);
        }
    });
}

void end_sensor_wait(bio_dev *dev, const WaitOutcome &wait)
{
    switch (wait.end) {
    case WaitOutcome::End::Stopped:
        end_stopped(dev);
        return;
    case WaitOutcome::End::Answer:     // the sensor gave up on the step
    case WaitOutcome::End::TimedOut:   // also a flag that was neither running nor a stop request
    case WaitOutcome::End::SensorError:
        end_timed_out(dev);
        return;
    case WaitOutcome::End::Satisfied:
        return;
    }
}

int delete_on_sensor(bio_dev *dev, int uid, int finger)
{
    kelvra_driver_t *priv = priv_of(dev);
    if (finger != KELVRA_FINGER_ALL)
        return delete_one_finger(priv, uid, finger);
    OnchipQuery userInfo{};
    fill_user_record(userInfo.data(), userInfo.size(), uid);
    return KELFPSCAN_DelAllUserFpsFroOS(priv->handle, userInfo.data());
}

// The sensor first: a finger the sensor still holds keeps unlocking the account, so the database keeps
// listing it until the sensor has really let it go. The database is opened before the sensor deletes
// anything: a database that cannot be opened would keep listing fingers the sensor no longer holds.
int clean_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const DbConnection db = connect_db();
    if (!db) {
        bio_print_error(tr("[%s] The feature database could not be opened; no fingerprint of UID %d was deleted\n"),
                        dev->device_name, uid);
        return -1;
    }
    const bool every_index = idx_end == -1 && idx_start <= 0;
    // One finger byte, unless a record outside the range is held under it as well (an index above 254):
    // deleting the byte would take that finger too, so it goes the way of any other range.
    const bool one_finger = idx_start == idx_end && idx_start >= 0 && idx_start < KELVRA_FINGER_ALL &&
                            !byte_held_outside(dev, uid, idx_start);
    if (!every_index && !one_finger)
        return clean_listed_fingers(db, dev, uid, idx_start, idx_end);

    const int del = delete_on_sensor(dev, uid, every_index ? KELVRA_FINGER_ALL : idx_start);
    if (del != 0) {
        bio_print_error(tr("[%s] The sensor could not delete the fingerprints (error code %d); the records "
                           "are kept\n"),
                        dev->device_name, del);
        return del;
    }
    return remove_released_records(db, dev, uid, idx_start, idx_end);
}

namespace {

// An enrollment refused before any sensor call: nothing is stored anywhere.
void end_refused_enrollment(bio_dev *dev, const ChipEnrollment &enrollment, int idx)
{
    if (enrollment.end == ChipEnrollment::End::IndexNotApart)
        announce(dev, LogAs::Error,
                 tr("The sensor cannot keep index %d apart from the user's other fingerprints, please choose another "
                    "index"),
                 idx);
    else
        announce(dev, LogAs::Error,
                 tr("The feature database could not be read, so index %d could not be checked; nothing was "
                    "enrolled"),
                 idx);
    end_failed(dev, OPS_ENROLL_FAIL);
}

// An enrollment that the sensor's store or the bookkeeping record ended, or the templates of an earlier
// installation the sensor could not remove: an error text with the code where there is one.
void end_enrollment_error(bio_dev *dev, const ChipEnrollment &enrollment, int idx)
{
    using End = ChipEnrollment::End;
    switch (enrollment.end) {
    case End::StoreFull:
        end_with_error(dev, Order::ResultIdleNotify, tr("No more userid to store tempFeature, error code: %d"),
                       enrollment.code);
        return;
    case End::NotRecorded:
        if (enrollment.code == 0)
            end_with_error(dev, Order::ResultNotifyIdle,
                           tr("The fingerprint could not be recorded and was removed from the sensor again. "
                              "Please enroll it again"));
        else
            end_with_error(dev, Order::ResultNotifyIdle,
                           tr("The fingerprint could not be recorded, and removing it from the sensor failed, "
                              "error code: %d"),
                           enrollment.code);
        return;
    case End::ReplacementNotRecorded:
        end_with_error(dev, Order::ResultNotifyIdle,
                       tr("The fingerprint could not be recorded; the one enrolled before as index %d stays on the "
                          "sensor"),
                       idx);
        return;
    case End::EarlierTemplatesKept:
        end_with_error(dev, Order::ResultNotifyIdle,
                       tr("The sensor still holds fingerprints of an earlier installation and could not remove them, "
                          "error code: %d; nothing was enrolled"),
                       enrollment.code);
        return;
    default:  // End::StoreFailed
        end_with_error(dev, Order::ResultIdleNotify, tr("Generate fingerprint template error, error code: %d"),
                       enrollment.code);
        return;
    }
}

}  // namespace

int enroll_chip_mode(bio_dev *dev, int uid, int idx, char *idx_name)
{
    using End = ChipEnrollment::End;
    bio_set_dev_status(dev, DEVS_ENROLL_DOING);
    const ChipEnrollment enrollment = enroll_on_sensor(dev, uid, idx, idx_name);
    switch (enrollment.end) {
    case End::Enrolled:
        end_outcome(dev, OPS_ENROLL_SUCCESS);
        return 0;
    case End::FingerWaitEnded:
    case End::StepEnded:
        // The wait's own ending (a stop or a time-out) first, then the enrollment's failure.
        end_sensor_wait(dev, enrollment.wait);
        end_failed(dev, OPS_ENROLL_FAIL);
        return -1;
    case End::LimitReached:
    case End::AlreadyEnrolled:
        // OPS_ENROLL_FAIL; the notify id stays what the failing step told.
        end_failed(dev, OPS_ENROLL_FAIL);
        return -1;
    case End::IndexNotApart:
    case End::RecordsUnknown:
        end_refused_enrollment(dev, enrollment, idx);
        return -1;
    case End::StoreFull:
    case End::StoreFailed:
    case End::NotRecorded:
    case End::ReplacementNotRecorded:
    case End::EarlierTemplatesKept:
        end_enrollment_error(dev, enrollment, idx);
        return -1;
    }
    return -1;
}

int verify_chip_mode(bio_dev *dev, int uid, int idx)
{
    int userID = -1;
    const WaitOutcome search = search_for_finger(dev, DEVS_VERIFY_DOING, uid, &userID);
    if (search.satisfied()) {
        const MatchOwner match = counted_match(dev, query_records(dev, uid, idx, idx), uid, userID);
        if (match.stopped) {
            end_stopped(dev);
            return -1;
        }
        end_outcome(dev, match.uid ? OPS_VERIFY_MATCH : OPS_VERIFY_NO_MATCH);
        return match.uid ? 1 : 0;
    }
    if (answered(search, KELFPSCAN_SEARCH_NO_MATCH)) {
        end_outcome(dev, OPS_VERIFY_NO_MATCH);
        return 0;
    }
    end_sensor_wait(dev, search);
    return -1;
}

int identify_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    int matUserId = -1;
    const WaitOutcome search = search_for_finger(dev, DEVS_IDENTIFY_DOING, uid, &matUserId);
    if (search.satisfied()) {
        const MatchOwner match = counted_match(dev, query_records(dev, uid, idx_start, idx_end), uid, matUserId);
        if (match.stopped) {
            end_stopped(dev);
            return -1;
        }
        end_outcome(dev, match.uid ? OPS_IDENTIFY_MATCH : OPS_IDENTIFY_NO_MATCH);
        // The uid asked about, as the first release answered: -1 for a match among every user.
        return match.uid ? uid : -1;
    }
    if (answered(search, KELFPSCAN_SEARCH_NO_MATCH))
        end_outcome(dev, OPS_IDENTIFY_NO_MATCH);
    else
        end_sensor_wait(dev, search);
    return -1;
}

feature_info *search_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    int userID = -1;
    const WaitOutcome search = search_for_finger(dev, DEVS_SEARCH_DOING, uid, &userID);
    if (answered(search, KELFPSCAN_SEARCH_NO_MATCH)) {
        end_outcome(dev, OPS_SEARCH_NO_MATCH);
        return nullptr;
    }
    if (!search.satisfied()) {
        end_sensor_wait(dev, search);
        return nullptr;
    }
    const FeatureList listed = query_records(dev, uid, idx_start, idx_end);
    const MatchOwner owner = counted_match(dev, listed, uid, userID);
    if (owner.stopped) {
        end_stopped(dev);
        return nullptr;
    }
    if (!owner.uid) {
        end_outcome(dev, OPS_SEARCH_NO_MATCH);
        return nullptr;
    }
    // The match is told before the walk names the record it is.
    tell_outcome(dev, OPS_SEARCH_MATCH);
    MatchedRecord walk = walk_for_matched_record(priv_of(dev), listed, userID, *owner.uid);
    if (walk.stopped) {
        end_stopped(dev);
        return nullptr;
    }
    // The match is told already: a record that could not be copied must not leave it standing with nothing.
    if (!walk.found) {
        end_out_of_memory(dev);
        return nullptr;
    }
    end_told_outcome(dev);
    return walk.found.release();
}

}  // namespace kelvra
