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
#include "kelvra_resources.h"

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
// The sensor's code for "this press is not decided yet", also the step loop's "no answer" marker.
constexpr int kStepWaiting = KELFPSCAN_ENROLL_NOT_FINISHED;
// The step loop's marker for a sensor that gave up on the step: reported as a time-out.
constexpr int kStepGaveUp = 3;
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

// The user's records on this device with an index in the range, read in one connection.
FeatureList query_records(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    DbConnection db = kelvra::connect_db();
    if (!db)
        return nullptr;
    FeatureList list{
        bio_sto_get_feature_info(db.get(), uid, dev->bioinfo.biotype, dev->device_name, idx_start, idx_end)};
    print_feature_info(list.get());
    return list;
}

// One finger of one user on the sensor, whatever its number: unlike iops_fingerDel_status_check, finger 255
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

int fail_clean(bio_dev *dev, int code)
{
    kelvra::end_failed(dev, OPS_CLEAN_FAIL, kelvra::own_code(NOTIFY_CLEAN_FAIL));
    return code;
}

// The presses and steps end in failure: OPS_ENROLL_FAIL, with the notify id the failing step left.
int fail_enroll(bio_dev *dev)
{
    kelvra::end_failed(dev, OPS_ENROLL_FAIL);
    return -1;
}

// A finger the database does not list could never be deleted by clean and would keep unlocking
// the account, so the template just stored goes again and the enrollment fails.
int fail_bookkeeping(bio_dev *dev, kelvra_driver_t *priv, int uid, int idx)
{
    const int del = delete_one_finger(priv, uid, idx);
    if (del == 0)
        kelvra::end_with_error(dev, kelvra::Order::ResultNotifyIdle,
                               tr("The fingerprint could not be recorded and was removed from the sensor again. "
                                  "Please enroll it again"));
    else
        kelvra::end_with_error(dev, kelvra::Order::ResultNotifyIdle,
                               tr("The fingerprint could not be recorded, and removing it from the sensor failed, "
                                  "error code: %d"),
                               del);
    return -1;
}

// After the sensor matched, search names the stored finger: the first record of the matched index
// in database order, with its first sample.
feature_info *walk_for_matched_record(bio_dev *dev, kelvra_driver_t *priv, int uid, int idx_start, int idx_end,
                                      int matchedId)
{
    FeatureList info_list = query_records(dev, uid, idx_start, idx_end);

    // A stop that came in while the sensor answered is honoured rather than overwritten.
    int32_t flag = priv->ctrlFlag.load();
    while (flag != CTRL_STOP_REQUESTED && !priv->ctrlFlag.compare_exchange_weak(flag, CTRL_RUNNING)) {
    }

    FeatureList found;
    bool stopped = priv->ctrlFlag.load() == CTRL_STOP_REQUESTED;
    for (const feature_info *record = info_list.get(); record != nullptr && !stopped; record = record->next) {
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next) {
            if (priv->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
                stopped = true;
                break;
            }
            if (record->index == matchedId) {
                found = kelvra::copy_record(record, sample);
                break;
            }
        }
        if (record->index == matchedId)
            break;
    }

    if (stopped) {
        kelvra::end_stopped(dev);
        return nullptr;
    }
    priv->ctrlFlag = CTRL_FINISHED;
    kelvra::end_told_outcome(dev);
    return found.release();
}

}  // namespace

extern "C" {

int iops_internel_enroll_count(bio_dev *dev, unsigned char *enrollCount, int uid, int idx_start, int idx_end)
{
    const FeatureList info_list = query_records(dev, uid, idx_start, idx_end);
    unsigned count = 0;
    for (const feature_info *record = info_list.get(); record != nullptr; record = record->next)
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next)
            ++count;
    // A byte that wrapped at 256 samples would let the user past the limit again.
    *enrollCount = static_cast<unsigned char>(count > 0xFF ? 0xFF : count);
    return 1;
}

int iops_fingerEnroll_status_check(bio_dev *dev, int enrollCnt)
{
    kelvra_driver_t *priv = priv_of(dev);
    int status = kStepWaiting;
    const kelvra::Stopwatch start = kelvra::start_clock();
    int elapsed = 0;

    while (priv->ctrlFlag.load() == CTRL_RUNNING && elapsed < priv->timeoutMS) {
        const int ret = KELFPSCAN_EnrollForOS(priv->handle, static_cast<unsigned char>(enrollCnt));
        if (ret == KELFPSCAN_ENROLL_ACCEPTED) {
            status = 0;
            break;
        }
        if (ret == KELFPSCAN_ENROLL_GAVE_UP) {
            status = kStepGaveUp;
            break;
        }
        if (ret == KELFPSCAN_ENROLL_ALREADY_STORED || ret == KELFPSCAN_ENROLL_OVERLAP) {
            status = ret;
            break;
        }
        if (ret == KELFPSCAN_ENROLL_POOR_IMAGE_A || ret == KELFPSCAN_ENROLL_POOR_IMAGE_B ||
            ret == KELFPSCAN_ENROLL_POOR_IMAGE_C) {
            // The step loop grades no image itself, so the grade shown is 0.
            kelvra::announce(dev, kelvra::LogAs::Error,
                             tr("The fingerprint image quality is poor[%d], please press your finger again\n"), 0);
        }
        kelvra::sleep_ms(kStepPollMs);
        elapsed = kelvra::elapsed_ms(start);
    }

    if (status != 0 && priv->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
        kelvra::end_stopped(dev);
        return -1;
    }
    if (status == kStepWaiting || status == kStepGaveUp) {
        kelvra::end_timed_out(dev);
        return -1;
    }
    return status;
}

int iops_fingerIdentify_status_check(bio_dev *dev, int UID, int *matUserId)
{
    kelvra_driver_t *priv = priv_of(dev);
    const kelvra::Stopwatch start = kelvra::start_clock();
    int elapsed = 0;
    int status = kStepWaiting;

    OnchipQuery userInfo{};
    kelvra::fill_user_record(userInfo.data(), userInfo.size(), UID);
    unsigned char searchRes = 0;
    unsigned int matchScore = 0;

    while (priv->ctrlFlag.load() == CTRL_RUNNING && elapsed < priv->timeoutMS) {
        const int ret = KELFPSCAN_SearchForOS(priv->handle, userInfo.data(), &searchRes, matUserId, &matchScore);
        if (ret == KELFPSCAN_SEARCH_BUSY) {
            // The sensor is still searching: ask again at once, within the same time-out.
            elapsed = kelvra::elapsed_ms(start);
            continue;
        }
        if (ret == KELFPSCAN_SEARCH_NO_MATCH || ret == KELFPSCAN_SEARCH_MATCH) {
            status = ret;
            break;
        }
        kelvra::sleep_ms(kSearchRetryPauseMs);
        elapsed = kelvra::elapsed_ms(start);
    }

    if (status != KELFPSCAN_SEARCH_MATCH && priv->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
        kelvra::end_stopped(dev);
        return -1;
    }
    if (status == kStepWaiting) {
        kelvra::end_timed_out(dev);
        return -1;
    }
    return status;
}

int iops_fingerDel_status_check(bio_dev *dev, int UID, int fpID)
{
    kelvra_driver_t *priv = priv_of(dev);
    if (fpID != KELVRA_FINGER_ALL)
        return delete_one_finger(priv, UID, fpID);
    OnchipQuery userInfo{};
    kelvra::fill_user_record(userInfo.data(), userInfo.size(), UID);
    return KELFPSCAN_DelAllUserFpsFroOS(priv->handle, userInfo.data());
}

}  // extern "C"

namespace kelvra {

// The sensor first: a finger the sensor still holds keeps unlocking the account, so the database keeps
// listing it until the sensor has really let it go.
int clean_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const bool one_index = idx_start == idx_end;
    if (one_index || (idx_start <= 0 && idx_end == -1)) {
        const int del = iops_fingerDel_status_check(dev, uid, one_index ? idx_start : KELVRA_FINGER_ALL);
        if (del != 0) {
            bio_print_error(tr("[%s] The sensor could not delete the fingerprints (error code %d); the records "
                               "are kept\n"),
                            dev->device_name, del);
            return fail_clean(dev, del);
        }
        return clean_database(dev, uid, idx_start, idx_end);
    }

    // A range that leaves some indexes out: the sensor's deletion of every finger would take fingers outside
    // the range with it, so each finger the database lists in the range is deleted on its own, and only those
    // the sensor let go leave the database.
    const std::optional<std::vector<int>> listed = indexes_listed(dev, uid, idx_start, idx_end);
    if (!listed) {
        bio_print_error(tr("[%s] The feature database could not tell which fingerprints of UID %d lie in indexes "
                           "%d to %d; nothing was deleted\n"),
                        dev->device_name, uid, idx_start, idx_end);
        return fail_clean(dev, -1);
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
        return clean_database(dev, uid, idx_start, idx_end);
    for (int index : deleted)
        remove_records(dev, uid, index, index);
    return fail_clean(dev, first_error);
}

int enroll_chip_mode(bio_dev *dev, int uid, int idx, char *idx_name)
{
    kelvra_driver_t *priv = priv_of(dev);

    bio_set_dev_status(dev, DEVS_ENROLL_DOING);

    unsigned char enrollCount = 0;
    iops_internel_enroll_count(dev, &enrollCount, uid, 0, -1);
    if (enrollCount > kMaxStoredSamples) {
        announce(dev, LogAs::Nothing, tr("该用户指纹注册个数已达上限!"));
        sleep_ms(kReadMessagePauseMs);
        return fail_enroll(dev);
    }

    int i = 1;
    while (i <= kPresses) {
        announce(dev, LogAs::Prompt,
                 tr("[%d/%d] fingerprint is being sampled. Please press different parts of your finger"), i,
                 kPresses);

        if (iops_finger_status_check_moc(dev, 1, i) != 0)
            return fail_enroll(dev);
        sleep_ms(kDetectToStepPauseMs);

        const int ret = iops_fingerEnroll_status_check(dev, i);
        if (ret == -1)
            return fail_enroll(dev);
        if (ret == KELFPSCAN_ENROLL_ALREADY_STORED) {
            announce(dev, LogAs::Prompt, tr("该手指已注册\n"));
            sleep_ms(kReadMessagePauseMs);
            return fail_enroll(dev);
        }
        if (ret == KELFPSCAN_ENROLL_OVERLAP) {
            // The same press is taken again once the finger has left.
            announce(dev, LogAs::Prompt, tr("该次注册重复度高，请抬起手指，重新按压不同位置\n"));
            if (iops_finger_status_check_moc(dev, -1, i) != 0)
                return fail_enroll(dev);
            continue;
        }

        ++i;
        if (i < kPresses) {
            bio_set_notify_abs_mid(dev, MID_NEED_LIFT);
            if (iops_finger_status_check_moc(dev, -1, i) != 0)
                return fail_enroll(dev);
        }
        if (i == kPresses) {
            bio_set_notify_abs_mid(dev, MID_NEED_LIFT);
            sleep_ms(kLastLiftPauseMs);
        }
    }

    OnchipRecord usrInfoBuf{};
    fill_user_record(usrInfoBuf.data(), usrInfoBuf.size(), uid);
    OnchipRecord usrIDBuf = finger_record_for_store(idx);

    sleep_ms(kBeforeStorePauseMs);
    const int ret = KELFPSCAN_StoreTemplateForOS(priv->handle, usrInfoBuf.data(), usrIDBuf.data());
    if (ret == KELFPSCAN_STORE_FULL) {
        end_with_error(dev, Order::ResultIdleNotify, tr("No more userid to store tempFeature, error code: %d"), ret);
        return -1;
    }
    if (ret != 0) {
        end_with_error(dev, Order::ResultIdleNotify, tr("Generate fingerprint template error, error code: %d"), ret);
        return -1;
    }

    if (!write_bookkeeping_record(dev, uid, idx, idx_name))
        return fail_bookkeeping(dev, priv, uid, idx);

    end_outcome(dev, OPS_ENROLL_SUCCESS);
    return 0;
}

namespace {

// Shared start of the three matching operations: the running status, the press prompt and the
// sensor's search. Returns the search loop's answer; -1 has been reported already.
int run_onchip_search(bio_dev *dev, int doing, int uid, int *matchedId)
{
    bio_set_dev_status(dev, doing);
    if (doing == DEVS_IDENTIFY_DOING)
        KELFPSCAN_ResetIdentifyCntForOS(priv_of(dev)->handle, kIdentifyResetCount);
    prompt(dev, MID_NEED_PRESS);
    return iops_fingerIdentify_status_check(dev, uid, matchedId);
}

}  // namespace

int verify_chip_mode(bio_dev *dev, int uid, int /*idx*/)
{
    int userID = -1;
    const int ret = run_onchip_search(dev, DEVS_VERIFY_DOING, uid, &userID);
    if (ret == -1)
        return -1;
    const bool match = ret == KELFPSCAN_SEARCH_MATCH;
    end_outcome(dev, match ? OPS_VERIFY_MATCH : OPS_VERIFY_NO_MATCH);
    return match ? 1 : 0;
}

int identify_chip_mode(bio_dev *dev, int uid, int /*idx_start*/, int /*idx_end*/)
{
    int matUserId = -1;
    const int ret = run_onchip_search(dev, DEVS_IDENTIFY_DOING, uid, &matUserId);
    if (ret == -1)
        return -1;
    const bool match = ret == KELFPSCAN_SEARCH_MATCH;
    end_outcome(dev, match ? OPS_IDENTIFY_MATCH : OPS_IDENTIFY_NO_MATCH);
    // The sensor may search every user; the caller asked about this one.
    return match ? uid : -1;
}

feature_info *search_chip_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    int userID = -1;
    const int ret = run_onchip_search(dev, DEVS_SEARCH_DOING, uid, &userID);
    if (ret == -1)
        return nullptr;
    if (ret != KELFPSCAN_SEARCH_MATCH) {
        end_outcome(dev, OPS_SEARCH_NO_MATCH);
        return nullptr;
    }
    // The match is told before the database is asked which record it is.
    tell_outcome(dev, OPS_SEARCH_MATCH);
    return walk_for_matched_record(dev, priv_of(dev), uid, idx_start, idx_end, userID);
}

}  // namespace kelvra
