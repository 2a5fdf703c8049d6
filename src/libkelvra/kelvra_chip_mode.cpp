// kelvra_chip_mode.cpp - match-on-chip enroll, verify, identify, search, on-chip deletion and clean.
//
// The sensor keeps and matches the templates; the driver guides the presses and keeps a bookkeeping
// record per finger in the host's database.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
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

// The distinct finger indexes the database lists for the user in the range, ascending; nothing when the
// database cannot say. The host answers an empty range and a failed query alike (no list), so no list is
// taken for "cannot say": cleaning a range of the database without knowing which fingers the sensor holds
// there could leave fingers on the sensor that no list shows and no clean reaches again.
std::optional<std::vector<int>> indexes_listed(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const FeatureList list = query_records(dev, uid, idx_start, idx_end);
    if (list == nullptr)
        return std::nullopt;
    std::vector<int> indexes;
    for (const feature_info *record = list.get(); record != nullptr; record = record->next)
        indexes.push_back(record->index);
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    return indexes;
}

// After the sensor matched, search names the stored finger: the first record of the matched index in
// database order, with its first sample; or it was stopped before it found it.
struct MatchedRecord {
    bool stopped = false;
    FeatureList found;
};

MatchedRecord walk_for_matched_record(bio_dev *dev, kelvra_driver_t *priv, int uid, int idx_start, int idx_end,
                                      int matchedId)
{
    FeatureList info_list = query_records(dev, uid, idx_start, idx_end);
    MatchedRecord walk;
    // A stop that came in while the sensor answered is honoured rather than overwritten.
    walk.stopped = !kelvra::arm_walk(priv);
    for (const feature_info *record = info_list.get(); record != nullptr && !walk.stopped; record = record->next) {
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next) {
            if (priv->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
                walk.stopped = true;
                break;
            }
            if (record->index == matchedId) {
                walk.found = kelvra::copy_record(record, sample);
                break;
            }
        }
        if (record->index == matchedId)
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

// How an on-chip enrollment ended.
struct ChipEnrollment {
    enum class End {
        Enrolled,
        LimitReached,     // the user has as many samples as a user may have
        FingerWaitEnded,  // a press or a lift was not seen (time-out or stop: the wait does not tell which)
        StepEnded,        // the sensor's step gave no usable answer: `step` says why
        AlreadyEnrolled,  // the sensor holds this finger already
        StoreFull,        // code: the sensor's answer
        StoreFailed,      // code: the sensor's answer
        NotRecorded,      // the bookkeeping record could not be written; code: the answer of the deletion
    };
    End end;
    WaitOutcome step{WaitOutcome::End::Satisfied};
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
        if (!kelvra::wait_for_presence(dev, FingerAwaited::Press).satisfied())
            return {End::FingerWaitEnded};
        kelvra::sleep_ms(kDetectToStepPauseMs);

        const WaitOutcome step = kelvra::run_enroll_step(dev, i);
        if (answered(step, KELFPSCAN_ENROLL_OVERLAP)) {
            // Hosts have always shown the sensor's two step texts as written.
            kelvra::announce(dev, kelvra::LogAs::Prompt, "该次注册重复度高，请抬起手指，重新按压不同位置\n");
            if (!kelvra::wait_for_presence(dev, FingerAwaited::Lift).satisfied())
                return {End::FingerWaitEnded};
            continue;
        }
        if (answered(step, KELFPSCAN_ENROLL_ALREADY_STORED)) {
            kelvra::announce(dev, kelvra::LogAs::Prompt, "该手指已注册\n");
            kelvra::sleep_ms(kReadMessagePauseMs);
            return {End::AlreadyEnrolled};
        }
        if (!step.satisfied())
            return {End::StepEnded, step};

        ++i;
        if (i < kPresses) {
            bio_set_notify_abs_mid(dev, MID_NEED_LIFT);
            if (!kelvra::wait_for_presence(dev, FingerAwaited::Lift).satisfied())
                return {End::FingerWaitEnded};
        }
        if (i == kPresses) {
            bio_set_notify_abs_mid(dev, MID_NEED_LIFT);
            kelvra::sleep_ms(kLastLiftPauseMs);
        }
    }
    return {End::Enrolled};
}

ChipEnrollment enroll_on_sensor(bio_dev *dev, int uid, int idx, char *idx_name)
{
    using End = ChipEnrollment::End;
    kelvra_driver_t *priv = priv_of(dev);

    if (kelvra::count_stored_samples(dev, uid, 0, -1) > kMaxStoredSamples) {
        kelvra::announce(dev, kelvra::LogAs::Nothing, "该用户指纹注册个数已达上限!");
        kelvra::sleep_ms(kReadMessagePauseMs);
        return {End::LimitReached};
    }

    const ChipEnrollment presses = take_presses_on_sensor(dev);
    if (presses.end != End::Enrolled)
        return presses;

    OnchipRecord usrInfoBuf{};
    kelvra::fill_user_record(usrInfoBuf.data(), usrInfoBuf.size(), uid);
    OnchipRecord usrIDBuf = finger_record_for_store(idx);

    kelvra::sleep_ms(kBeforeStorePauseMs);
    const int ret = KELFPSCAN_StoreTemplateForOS(priv->handle, usrInfoBuf.data(), usrIDBuf.data());
    if (ret == KELFPSCAN_STORE_FULL)
        return {End::StoreFull, {WaitOutcome::End::Satisfied}, ret};
    if (ret != 0)
        return {End::StoreFailed, {WaitOutcome::End::Satisfied}, ret};

    // A finger the database does not list could never be deleted by clean and would keep unlocking the
    // account, so the template just stored goes again.
    if (!write_bookkeeping_record(dev, uid, idx, idx_name))
        return {End::NotRecorded, {WaitOutcome::End::Satisfied}, delete_one_finger(priv, uid, idx)};
    return {End::Enrolled};
}

}  // namespace

namespace kelvra {

unsigned char count_stored_samples(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const FeatureList info_list = query_records(dev, uid, idx_start, idx_end);
    unsigned count = 0;
    for (const feature_info *record = info_list.get(); record != nullptr; record = record->next)
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next)
            ++count;
    // A byte that wrapped at 256 samples would let the user past the limit again.
    return static_cast<unsigned char>(count > 0xFF ? 0xFF : count);
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
// listing it until the sensor has really let it go.
int clean_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const bool one_index = idx_start == idx_end;
    if (one_index || (idx_start <= 0 && idx_end == -1)) {
        const int del = delete_on_sensor(dev, uid, one_index ? idx_start : KELVRA_FINGER_ALL);
        if (del != 0) {
            bio_print_error(tr("[%s] The sensor could not delete the fingerprints (error code %d); the records "
                               "are kept\n"),
                            dev->device_name, del);
            return del;
        }
        return remove_records(dev, uid, idx_start, idx_end);
    }

    // A range that leaves some indexes out: the sensor's deletion of every finger would take fingers outside
    // the range with it, so each finger the database lists in the range is deleted on its own, and only those
    // the sensor let go leave the database.
    const std::optional<std::vector<int>> listed = indexes_listed(dev, uid, idx_start, idx_end);
    if (!listed) {
        bio_print_error(tr("[%s] The feature database could not tell which fingerprints of UID %d lie in indexes "
                           "%d to %d; nothing was deleted\n"),
                        dev->device_name, uid, idx_start, idx_end);
        return -1;
    }
    int first_error = 0;
    std::vector<int> deleted;
    for (int index : *listed) {
        const int del = delete_one_finger(priv_of(dev), uid, index);
        if (del == 0) {
            deleted.push_back(index);
            continue;
        }
        bio_print_error(tr("[%s] The sensor could not delete fingerprint %d of UID %d (error code %d); its record "
                           "is kept\n"),
                        dev->device_name, index, uid, del);
        if (first_error == 0)
            first_error = del;
    }
    if (first_error == 0)
        return remove_records(dev, uid, idx_start, idx_end);
    for (int index : deleted)
        remove_records(dev, uid, index, index);
    return first_error;
}

int enroll_chip_mode(bio_dev *dev, int uid, int idx, char *idx_name)
{
    using End = ChipEnrollment::End;
    bio_set_dev_status(dev, DEVS_ENROLL_DOING);
    const ChipEnrollment enrollment = enroll_on_sensor(dev, uid, idx, idx_name);
    switch (enrollment.end) {
    case End::Enrolled:
        end_outcome(dev, OPS_ENROLL_SUCCESS);
        return 0;
    case End::StepEnded:
        // The step's own ending (a stop or a time-out) first, then the enrollment's failure.
        end_sensor_wait(dev, enrollment.step);
        end_failed(dev, OPS_ENROLL_FAIL);
        return -1;
    case End::LimitReached:
    case End::FingerWaitEnded:
    case End::AlreadyEnrolled:
        // OPS_ENROLL_FAIL; the notify id stays what the failing step told.
        end_failed(dev, OPS_ENROLL_FAIL);
        return -1;
    case End::StoreFull:
        end_with_error(dev, Order::ResultIdleNotify, tr("No more userid to store tempFeature, error code: %d"),
                       enrollment.code);
        return -1;
    case End::StoreFailed:
        end_with_error(dev, Order::ResultIdleNotify, tr("Generate fingerprint template error, error code: %d"),
                       enrollment.code);
        return -1;
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
        return -1;
    }
    return -1;
}

int verify_chip_mode(bio_dev *dev, int uid, int /*idx*/)
{
    int userID = -1;
    const WaitOutcome search = search_for_finger(dev, DEVS_VERIFY_DOING, uid, &userID);
    if (search.satisfied()) {
        end_outcome(dev, OPS_VERIFY_MATCH);
        return 1;
    }
    if (answered(search, KELFPSCAN_SEARCH_NO_MATCH)) {
        end_outcome(dev, OPS_VERIFY_NO_MATCH);
        return 0;
    }
    end_sensor_wait(dev, search);
    return -1;
}

int identify_chip_mode(bio_dev *dev, int uid, int /*idx_start*/, int /*idx_end*/)
{
    int matUserId = -1;
    const WaitOutcome search = search_for_finger(dev, DEVS_IDENTIFY_DOING, uid, &matUserId);
    if (search.satisfied()) {
        end_outcome(dev, OPS_IDENTIFY_MATCH);
        // The sensor may search every user; the caller asked about this one.
        return uid;
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
    // The match is told before the database is asked which record it is.
    tell_outcome(dev, OPS_SEARCH_MATCH);
    MatchedRecord walk = walk_for_matched_record(dev, priv_of(dev), uid, idx_start, idx_end, userID);
    if (walk.stopped) {
        end_stopped(dev);
        return nullptr;
    }
    end_told_outcome(dev);
    return walk.found.release();
}

}  // namespace kelvra
