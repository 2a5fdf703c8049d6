// kelvra_host_mode.cpp - match-on-host enroll, verify, identify and search, and the walks over stored templates.
#include "kelvra_endings.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"
#include "kelvra_records.h"
#include "kelvra_wait.h"

#include <cstring>

namespace {

using kelvra::priv_of;
using kelvra::tr;

// The comparison level the SDK is always asked for; the configured SecurityLevel is not what it takes.
constexpr int kVerifyLevel = 5;
constexpr int kDuplicatePauseMs = 1000;
constexpr int kEnrollCheckMinScore = 400;
// The SDK's match word: 0 is a hit. Anything else stands in for "not compared" before each call.
constexpr int kMatchHit = 0;
constexpr int kMatchNone = 1;
// Characters of a base64-encoded template: four for every three bytes, no padding.
constexpr std::size_t kTemplateTextLength = KELVRA_TEMPLATE_SIZE / 3 * 4;

using kelvra::Buffer;
using kelvra::DbConnection;
using kelvra::FeatureList;
using kelvra::TextBuffer;
using kelvra::obtain_buffer;

// The user's stored records on this device, read with the connection closed again before any comparison.
// A database that cannot be opened yields no records and an error line; the walk then finds nothing.
FeatureList read_stored_records(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    kelvra::UserRecords records = kelvra::read_user_records(dev, uid, idx_start, idx_end);
    if (!records.database_opened)
        bio_print_error(tr("[%s] Unable to open the feature database, no stored fingerprint can be compared\n"),
                        dev->device_name);
    return std::move(records.list);
}

// Decodes a stored sample into the template area (KELVRA_TEMPLATE_SIZE bytes). A text that is not base64 or
// would not fit is skipped with an error line, so a damaged row can neither overrun the area nor stop the
// walk. An empty text leaves the area all zero.
//
// Hosts differ in what their decoder answers on success (the byte count, or just 0 or 1), so the area is
// cleared whole before the decode, only a negative answer counts (the text is not base64), and the answer
// is never taken for a size. A text no longer than an encoded template cannot decode to more than the area
// holds, so its length is the only check made beforehand. Asking the host for the decoded length first
// would read every stored template twice, which costs the walk about half as much again as the decode.
bool load_template(bio_dev *dev, const feature_info *record, const feature_sample *sample, unsigned char *area)
{
    const char *text = sample->data != nullptr ? sample->data : "";
    iops_buf_clean(area, KELVRA_TEMPLATE_SIZE);
    if (std::strlen(text) <= kTemplateTextLength && bio_base64_decode(text, area) >= 0)
        return true;
    bio_print_error(tr("[%s] The stored fingerprint template of UID %d, index %d, sample %d is damaged and was "
                       "skipped\n"),
                    dev->device_name, record->uid, record->index, sample->no);
    return false;
}

// A comparison the SDK refused is a miss: the match word is only defined when the call returned 0.
bool compare_hits(void *handle, const unsigned char *probe, const unsigned char *templates, int count,
                  int *similarity)
{
    int match = kMatchNone;
    const int rc = KELFPSCAN_VerifyExt(handle, kVerifyLevel, probe, count, templates, similarity, &match);
    return rc == 0 && match == kMatchHit;
}

// The record of a host-side template: the six blocks as base64 text in one sample numbered 1. NULL when
// the host has no memory left for it.
FeatureList new_template_record(bio_dev *dev, int uid, int idx, char *idx_name, const char *text)
{
    FeatureList info(bio_sto_new_feature_info(uid, dev->bioinfo.biotype, dev->device_name, idx, idx_name));
    if (info == nullptr)
        return nullptr;
    info->sample = bio_sto_new_feature_sample(-1, nullptr);
    if (info->sample == nullptr)
        return nullptr;
    info->sample->no = 1;
    info->sample->data = bio_sto_new_str(text);
    if (info->sample->data == nullptr)
        return nullptr;
    return info;
}

using kelvra::FingerAwaited;
using kelvra::WaitOutcome;

// How a host-side enrollment ended.
struct HostEnrollment {
    enum class End { Enrolled, OutOfMemory, FingerWaitEnded, NoDatabase, StoreFailed };
    End end;
    WaitOutcome wait{WaitOutcome::End::Satisfied};  // FingerWaitEnded
    int code = 0;                                   // StoreFailed: the database's answer
};

// The six presses, block k of feature_data from the k-th accepted one. A press of a finger the user
// already enrolled, and a press whose features could not be extracted, are taken again under the same
// number, within one time-out window per press; the wait that did not see its press or lift ends them all.
WaitOutcome take_six_presses(bio_dev *dev, int uid, unsigned char *feature_data)
{
    kelvra_driver_t *priv = priv_of(dev);
    // Cleared so that a first extraction that fails is not checked against leftover stack bytes.
    unsigned char enrollFeatureBuf[KELVRA_FEATURE_SIZE] = {};

    // A finger the user already enrolled, left on the sensor, satisfies every press wait at once, and a
    // sensor whose extraction keeps failing asks for the press again for as long as the finger comes back:
    // the retries of one press share one time-out window, from the first of them.
    int i = 1;
    int retried_press = 0;
    kelvra::Stopwatch first_retry;
    auto start_retry_window = [&] {
        if (retried_press != i) {
            retried_press = i;
            first_retry = kelvra::start_clock();
        }
    };

    while (i <= KELVRA_ENROLL_PRESSES) {
        kelvra::announce(dev, kelvra::LogAs::Prompt,
                         tr("[%d/%d] fingerprint is being sampled. Please press different parts of your finger"),
                         i, KELVRA_ENROLL_PRESSES);
        const WaitOutcome press = kelvra::wait_for_graded_frame(dev, FingerAwaited::Press);
        if (!press.satisfied())
            return press;

        // The duplicate check runs on whatever the extraction left, before its answer is looked at.
        const int ret = KELFPSCAN_ExtractFeature(priv->handle, 0, enrollFeatureBuf);
        if (kelvra::matches_stored_template(dev, enrollFeatureBuf, uid, 0, -1)) {
            // Retry: the same press again after a moment to read the text, without a lift wait. The Chinese
            // text is its own message id: hosts without a catalogue have always shown it as written.
            start_retry_window();
            kelvra::announce(dev, kelvra::LogAs::Nothing, tr("当前手指已注册，请更换手指并按压！"));
            kelvra::sleep_ms(kDuplicatePauseMs);
            if (kelvra::elapsed_ms(first_retry) >= priv->timeoutMS)
                return {WaitOutcome::End::TimedOut};
            continue;
        }
        std::memcpy(feature_data + static_cast<std::size_t>(i - 1) * KELVRA_FEATURE_SIZE, enrollFeatureBuf,
                    KELVRA_FEATURE_SIZE);
        if (ret != 0) {
            // Retry: the same press again once the finger has left; the block just copied is overwritten.
            kelvra::announce(dev, kelvra::LogAs::Error,
                             tr("Generate fingerprint characteristics error (%d), please lift your finger and "
                                "press it again"),
                             ret);
            start_retry_window();
            const WaitOutcome lift = kelvra::wait_for_graded_frame(dev, FingerAwaited::Lift);
            if (!lift.satisfied())
                return lift;
            if (kelvra::elapsed_ms(first_retry) >= priv->timeoutMS)
                return {WaitOutcome::End::TimedOut};
            continue;
        }
        // After the last press the template is made at once, without asking for a lift.
        if (i < KELVRA_ENROLL_PRESSES) {
            bio_set_notify_abs_mid(dev, MID_NEED_LIFT);
            const WaitOutcome lift = kelvra::wait_for_graded_frame(dev, FingerAwaited::Lift);
            if (!lift.satisfied())
                return lift;
        }
        ++i;
    }
    return {WaitOutcome::End::Satisfied};
}

// The working areas of one enrollment, obtained before the first press so that a host short of memory
// is told so before the user presses at all.
struct EnrollAreas {
    Buffer feature_data = obtain_buffer(KELVRA_TEMPLATE_SIZE);
    Buffer template_data = obtain_buffer(KELVRA_TEMPLATE_SIZE);
    TextBuffer feature_encode = kelvra::obtain_text(KELVRA_TEMPLATE_TEXT_SIZE);
    bool obtained() const { return feature_data && template_data && feature_encode; }
};

// Encodes the six blocks and writes the template's record into the host's database.
HostEnrollment store_template(bio_dev *dev, int uid, int idx, char *idx_name, EnrollAreas &areas)
{
    using End = HostEnrollment::End;
    std::memcpy(areas.template_data.get(), areas.feature_data.get(), KELVRA_TEMPLATE_SIZE);
    bio_base64_encode(areas.template_data.get(), areas.feature_encode.get(), KELVRA_TEMPLATE_SIZE);

    FeatureList info = new_template_record(dev, uid, idx, idx_name, areas.feature_encode.get());
    if (info == nullptr)
        return {End::OutOfMemory};
    print_feature_info(info.get());

    DbConnection db = kelvra::connect_db();
    if (!db)
        return {End::NoDatabase};
    const int stored = bio_sto_set_feature_info(db.get(), info.get());
    if (stored != 0)
        return {End::StoreFailed, {WaitOutcome::End::Satisfied}, stored};
    return {End::Enrolled};
}

HostEnrollment enroll_on_host(bio_dev *dev, int uid, int idx, char *idx_name)
{
    using End = HostEnrollment::End;
    EnrollAreas areas;
    if (!areas.obtained())
        return {End::OutOfMemory};
    const WaitOutcome presses = take_six_presses(dev, uid, areas.feature_data.get());
    if (!presses.satisfied())
        return {End::FingerWaitEnded, presses};
    bio_set_notify_abs_mid(dev, MID_GEN_TEMPLATE);
    return store_template(dev, uid, idx, idx_name, areas);
}

// How verify, identify and search came through the press, the extraction and the walk.
struct HostMatch {
    enum class End { Compared, FingerWaitEnded, ExtractionFailed, Stopped };
    End end;
    WaitOutcome wait{WaitOutcome::End::Satisfied};  // FingerWaitEnded
    int code = 0;                                   // ExtractionFailed: the SDK's answer
    FeatureList found;                              // Compared: the record that matched, or none
};

HostMatch match_on_host(bio_dev *dev, int doing_status, int uid, int idx_start, int idx_end)
{
    using End = HostMatch::End;
    kelvra_driver_t *priv = priv_of(dev);

    bio_set_dev_status(dev, doing_status);
    unsigned char feature_data[KELVRA_FEATURE_SIZE] = {};

    kelvra::prompt(dev, MID_NEED_PRESS);
    const WaitOutcome press = kelvra::wait_for_graded_frame(dev, FingerAwaited::Press);
    if (!press.satisfied())
        return {End::FingerWaitEnded, press};
    kelvra::prompt(dev, MID_GEN_TEMPLATE);

    const int r = KELFPSCAN_ExtractFeature(priv->handle, 0, feature_data);
    if (r != 0)
        return {End::ExtractionFailed, {WaitOutcome::End::Satisfied}, r};

    // Not logged: the host shows it, and the walk that follows is quick.
    bio_set_notify_abs_mid(dev, MID_IDENTIFY);
    FeatureList found(kelvra::search_stored_templates(dev, feature_data, uid, idx_start, idx_end));
    if (priv->ctrlFlag.load() == CTRL_STOPPED)
        return {End::Stopped};
    return {End::Compared, {WaitOutcome::End::Satisfied}, 0, std::move(found)};
}

// The one exit of verify, identify and search in match-on-host mode: `outcome` when the finger was compared.
void end_host_match(bio_dev *dev, const HostMatch &match, int outcome)
{
    switch (match.end) {
    case HostMatch::End::Compared:
        kelvra::end_outcome(dev, outcome);
        return;
    case HostMatch::End::FingerWaitEnded:
        kelvra::end_finger_wait(dev, match.wait);
        return;
    case HostMatch::End::ExtractionFailed:
        kelvra::end_with_error(dev, kelvra::Order::ResultIdleNotify,
                               tr("Generate fingerprint characteristics error, error code: %d"), match.code);
        return;
    case HostMatch::End::Stopped:
        kelvra::end_stopped(dev);
        return;
    }
}

}  // namespace

namespace kelvra {

bool matches_stored_template(bio_dev *dev, const unsigned char *feature_data, int uid, int idx_start, int idx_end)
{
    kelvra_driver_t *priv = priv_of(dev);

    FeatureList info_list = read_stored_records(dev, uid, idx_start, idx_end);
    if (info_list == nullptr)
        return false;

    Buffer template_data = obtain_buffer(KELVRA_TEMPLATE_SIZE);
    if (template_data == nullptr) {
        bio_print_error(tr("[%s] Out of memory for the stored fingerprint template\n"), dev->device_name);
        return false;
    }

    for (const feature_info *record = info_list.get(); record != nullptr; record = record->next) {
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next) {
            if (!load_template(dev, record, sample, template_data.get()))
                continue;
            int similarity = 0;
            if (compare_hits(priv->handle, feature_data, template_data.get(), KELVRA_TEMPLATE_BLOCKS, &similarity))
                return true;
        }
    }
    return false;
}

bool scores_above_enroll_threshold(bio_dev *dev, const unsigned char *templateFeature,
                                   const unsigned char *featureBuf, int featureNum)
{
    kelvra_driver_t *priv = priv_of(dev);
    int maxScore = 0;
    for (int cnt = 0; cnt < featureNum; ++cnt) {
        int similarity = 0;
        int match = kMatchNone;
        // Only the score counts here, not the SDK's own verdict.
        const int ret = KELFPSCAN_VerifyExt(priv->handle, kVerifyLevel, featureBuf, 1,
                                            templateFeature + static_cast<std::size_t>(cnt) * KELVRA_FEATURE_SIZE,
                                            &similarity, &match);
        if (ret == 0 && similarity > maxScore)
            maxScore = similarity;
    }
    return maxScore > kEnrollCheckMinScore;
}

feature_info *search_stored_templates(bio_dev *dev, const unsigned char *feature_data, int uid, int idx_start,
                                      int idx_end)
{
    kelvra_driver_t *priv = priv_of(dev);

    FeatureList info_list = read_stored_records(dev, uid, idx_start, idx_end);
    Buffer template_data = obtain_buffer(KELVRA_TEMPLATE_SIZE);

    if (!arm_walk(priv))
        return nullptr;

    if (template_data == nullptr && info_list != nullptr) {
        bio_print_error(tr("[%s] Out of memory for the stored fingerprint template\n"), dev->device_name);
        info_list.reset();
    }

    feature_info *found = nullptr;
    for (const feature_info *record = info_list.get(); record != nullptr && found == nullptr;
         record = record->next) {
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next) {
            int similarity = 0;
            const bool hit = load_template(dev, record, sample, template_data.get()) &&
                             compare_hits(priv->handle, feature_data, template_data.get(),
                                          KELVRA_TEMPLATE_BLOCKS, &similarity);
            // A hit in the comparison during which the stop came is not reported.
            if (priv->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
                priv->ctrlFlag = CTRL_STOPPED;
                return nullptr;
            }
            if (!hit)
                continue;
            found = copy_record(record, sample).release();
            bio_print_debug(tr("[%s] similarity = %d (UID:%d, INDEX[%d]:%s, SNO:%d)\n"), dev->device_name,
                            similarity, record->uid, record->index,
                            record->index_name != nullptr ? record->index_name : "", sample->no);
            break;
        }
    }

    priv->ctrlFlag = CTRL_FINISHED;
    return found;
}

int enroll_host_mode(bio_dev *dev, int uid, int idx, char *idx_name)
{
    bio_set_dev_status(dev, DEVS_ENROLL_DOING);
    const HostEnrollment enrollment = enroll_on_host(dev, uid, idx, idx_name);
    switch (enrollment.end) {
    case HostEnrollment::End::Enrolled:
        end_outcome(dev, OPS_ENROLL_SUCCESS);
        return 0;
    case HostEnrollment::End::OutOfMemory:
        end_out_of_memory(dev);
        return -1;
    case HostEnrollment::End::FingerWaitEnded:
        end_finger_wait(dev, enrollment.wait);
        return -1;
    case HostEnrollment::End::NoDatabase:
        // The record did not reach the database: the user must not be told the finger was enrolled.
        end_with_error(dev, Order::ResultNotifyIdle,
                       tr("Unable to open the feature database, the fingerprint was not saved"));
        return -1;
    case HostEnrollment::End::StoreFailed:
        end_with_error(dev, Order::ResultNotifyIdle,
                       tr("Unable to save the fingerprint to the feature database, error code: %d"),
                       enrollment.code);
        return -1;
    }
    return -1;
}

int verify_host_mode(bio_dev *dev, int uid, int idx)
{
    HostMatch match = match_on_host(dev, DEVS_VERIFY_DOING, uid, idx, idx);
    const bool matched = match.found != nullptr;
    match.found.reset();
    end_host_match(dev, match, matched ? OPS_VERIFY_MATCH : OPS_VERIFY_NO_MATCH);
    if (match.end != HostMatch::End::Compared)
        return -1;
    return matched ? 1 : 0;
}

int identify_host_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    HostMatch match = match_on_host(dev, DEVS_IDENTIFY_DOING, uid, idx_start, idx_end);
    int matched_uid = -1;
    for (const feature_info *record = match.found.get(); record != nullptr; record = record->next)
        if (matched_uid == -1 || record->uid < matched_uid)
            matched_uid = record->uid;
    const bool matched = match.found != nullptr;
    match.found.reset();
    end_host_match(dev, match, matched ? OPS_IDENTIFY_MATCH : OPS_IDENTIFY_NO_MATCH);
    return matched_uid;
}

feature_info *search_host_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    HostMatch match = match_on_host(dev, DEVS_SEARCH_DOING, uid, idx_start, idx_end);
    end_host_match(dev, match, match.found != nullptr ? OPS_SEARCH_MATCH : OPS_SEARCH_NO_MATCH);
    return match.found.release();
}

}  // namespace kelvra
