// kelvra_host_mode.cpp - match-on-host enroll, verify, identify and search, and the walks over stored templates.
#include "kelvra_endings.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"
#include "kelvra_resources.h"

#include <cstring>

namespace {

using kelvra::priv_of;
using kelvra::tr;

// The comparison level the SDK is always asked for; the configured SecurityLevel is not what it takes.
constexpr int kVerifyLevel = 5;
constexpr int kDuplicatePauseMs = 1000;
constexpr int kEnrollCheckMinScore = 400;
constexpr int kActionPress = 1;
constexpr int kActionLift = -1;
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
    DbConnection db = kelvra::connect_db();
    if (!db) {
        bio_print_error(tr("[%s] Unable to open the feature database, no stored fingerprint can be compared\n"),
                        dev->device_name);
        return nullptr;
    }
    FeatureList list(bio_sto_get_feature_info(db.get(), uid, dev->bioinfo.biotype, dev->device_name, idx_start,
                                              idx_end));
    print_feature_info(list.get());
    db.reset();
    return list;
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

// Arms a walk over stored records. A stop requested before the walk begins (during the extraction or
// between capture and walk) is answered here instead of being overwritten with "running".
bool arm_walk(kelvra_driver_t *priv)
{
    int32_t seen = priv->ctrlFlag.load();
    for (;;) {
        if (seen == CTRL_STOP_REQUESTED) {
            priv->ctrlFlag = CTRL_STOPPED;
            return false;
        }
        if (priv->ctrlFlag.compare_exchange_weak(seen, CTRL_RUNNING))
            return true;
    }
}

// Steps 2 to 10 shared by verify, identify and search. Returns false when the operation has already been
// ended (capture wait failed, extraction error, stop in the walk); otherwise *found holds the hit or NULL.
bool run_host_match(bio_dev *dev, int doing_status, int uid, int idx_start, int idx_end, FeatureList *found)
{
    kelvra_driver_t *priv = priv_of(dev);

    bio_set_dev_status(dev, doing_status);

    unsigned char feature_data[KELVRA_FEATURE_SIZE] = {};

    kelvra::prompt(dev, MID_NEED_PRESS);
    if (iops_finger_status_check(dev, kActionPress) == -1)
        return false;
    kelvra::prompt(dev, MID_GEN_TEMPLATE);

    const int r = KELFPSCAN_ExtractFeature(priv->handle, 0, feature_data);
    if (r != 0) {
        kelvra::end_with_error(dev, kelvra::Order::ResultIdleNotify,
                               tr("Generate fingerprint characteristics error, error code: %d"), r);
        return false;
    }

    bio_set_notify_abs_mid(dev, MID_IDENTIFY);

    found->reset(iops_internel_search(dev, feature_data, uid, idx_start, idx_end));

    if (priv->ctrlFlag.load() == CTRL_STOPPED) {
        found->reset();
        kelvra::end_stopped(dev);
        return false;
    }
    return true;
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

}  // namespace

extern "C" {

int iops_internel_enroll_search(bio_dev *dev, unsigned char *feature_data, int uid, int idx_start, int idx_end)
{
    kelvra_driver_t *priv = priv_of(dev);

    FeatureList info_list = read_stored_records(dev, uid, idx_start, idx_end);
    if (info_list == nullptr)
        return 1;

    Buffer template_data = obtain_buffer(KELVRA_TEMPLATE_SIZE);
    if (template_data == nullptr) {
        bio_print_error(tr("[%s] Out of memory for the stored fingerprint template\n"), dev->device_name);
        return 1;
    }

    for (const feature_info *record = info_list.get(); record != nullptr; record = record->next) {
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next) {
            if (!load_template(dev, record, sample, template_data.get()))
                continue;
            int similarity = 0;
            if (compare_hits(priv->handle, feature_data, template_data.get(), KELVRA_TEMPLATE_BLOCKS, &similarity))
                return 0;
        }
    }
    return 1;
}

int enroll_check(bio_dev *dev, unsigned char *templateFeature, unsigned char *featureBuf, int featureNum)
{
    kelvra_driver_t *priv = priv_of(dev);
    int maxScore = 0;
    for (int cnt = 0; cnt < featureNum; ++cnt) {
        int similarity = 0;
        int match = kMatchNone;
        const int ret = KELFPSCAN_VerifyExt(priv->handle, kVerifyLevel, featureBuf, 1,
                                            templateFeature + static_cast<std::size_t>(cnt) * KELVRA_FEATURE_SIZE,
                                            &similarity, &match);
        if (ret == 0 && similarity > maxScore)
            maxScore = similarity;
    }
    return maxScore > kEnrollCheckMinScore ? 1 : 0;
}

feature_info *iops_internel_search(bio_dev *dev, unsigned char *feature_data, int uid, int idx_start,
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
            if (priv->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
                priv->ctrlFlag = CTRL_STOPPED;
                return nullptr;
            }
            if (!hit)
                continue;
            found = kelvra::copy_record(record, sample).release();
            bio_print_debug(tr("[%s] similarity = %d (UID:%d, INDEX[%d]:%s, SNO:%d)\n"), dev->device_name,
                            similarity, record->uid, record->index,
                            record->index_name != nullptr ? record->index_name : "", sample->no);
            break;
        }
    }

    priv->ctrlFlag = CTRL_FINISHED;
    return found;
}

feature_info *iops_internel_searchForOS(bio_dev *, unsigned char *, int, int, int, int) { return nullptr; }

}  // extern "C"

namespace kelvra {

int enroll_host_mode(bio_dev *dev, int uid, int idx, char *idx_name)
{
    kelvra_driver_t *priv = priv_of(dev);

    bio_set_dev_status(dev, DEVS_ENROLL_DOING);

    Buffer feature_data = obtain_buffer(KELVRA_TEMPLATE_SIZE);
    Buffer template_data = obtain_buffer(KELVRA_TEMPLATE_SIZE);
    TextBuffer feature_encode = kelvra::obtain_text(KELVRA_TEMPLATE_TEXT_SIZE);
    if (feature_data == nullptr || template_data == nullptr || feature_encode == nullptr) {
        end_out_of_memory(dev);
        return -1;
    }

    // Cleared so that a first extraction that fails is not checked against leftover stack bytes.
    unsigned char enrollFeatureBuf[KELVRA_FEATURE_SIZE] = {};

    int i = 0;
    while (i <= KELVRA_ENROLL_PRESSES - 1) {
        ++i;
        announce(dev, LogAs::Prompt,
                 tr("[%d/%d] fingerprint is being sampled. Please press different parts of your finger"), i,
                 KELVRA_ENROLL_PRESSES);

        if (iops_finger_status_check(dev, kActionPress) == -1)
            return -1;

        int ret = KELFPSCAN_ExtractFeature(priv->handle, 0, enrollFeatureBuf);
        const int searchRet = iops_internel_enroll_search(dev, enrollFeatureBuf, uid, 0, -1);
        if (searchRet == 0) {
            announce(dev, LogAs::Nothing, tr("当前手指已注册，请更换手指并按压！"));
            --i;
            sleep_ms(kDuplicatePauseMs);
            continue;
        }

        std::memcpy(feature_data.get() + static_cast<std::size_t>(i - 1) * KELVRA_FEATURE_SIZE, enrollFeatureBuf,
                    KELVRA_FEATURE_SIZE);

        if (ret != 0) {
            announce(dev, LogAs::Error,
                     tr("Generate fingerprint characteristics error (%d), please lift your finger and press it "
                        "again"),
                     ret);
            if (iops_finger_status_check(dev, kActionLift) == -1)
                return -1;
            --i;
            continue;
        }

        if (i <= KELVRA_ENROLL_PRESSES - 1) {
            bio_set_notify_abs_mid(dev, MID_NEED_LIFT);
            ret = iops_finger_status_check(dev, kActionLift);
            if (ret == -1)
                return -1;
        }
    }

    bio_set_notify_abs_mid(dev, MID_GEN_TEMPLATE);

    std::memcpy(template_data.get(), feature_data.get(), KELVRA_TEMPLATE_SIZE);
    bio_base64_encode(template_data.get(), feature_encode.get(), KELVRA_TEMPLATE_SIZE);

    FeatureList info = new_template_record(dev, uid, idx, idx_name, feature_encode.get());
    if (info == nullptr) {
        end_out_of_memory(dev);
        return -1;
    }
    print_feature_info(info.get());

    // The record did not reach the database: the user must not be told the finger was enrolled.
    DbConnection db = kelvra::connect_db();
    if (!db) {
        end_with_error(dev, Order::ResultNotifyIdle,
                       tr("Unable to open the feature database, the fingerprint was not saved"));
        return -1;
    }
    const int stored = bio_sto_set_feature_info(db.get(), info.get());
    db.reset();
    if (stored != 0) {
        end_with_error(dev, Order::ResultNotifyIdle,
                       tr("Unable to save the fingerprint to the feature database, error code: %d"), stored);
        return -1;
    }

    info.reset();
    feature_data.reset();
    template_data.reset();
    feature_encode.reset();

    end_outcome(dev, OPS_ENROLL_SUCCESS);
    return 0;
}

int verify_host_mode(bio_dev *dev, int uid, int idx)
{
    FeatureList found;
    if (!run_host_match(dev, DEVS_VERIFY_DOING, uid, idx, idx, &found))
        return -1;
    const bool matched = found != nullptr;
    found.reset();
    end_outcome(dev, matched ? OPS_VERIFY_MATCH : OPS_VERIFY_NO_MATCH);
    return matched ? 1 : 0;
}

int identify_host_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    FeatureList found;
    if (!run_host_match(dev, DEVS_IDENTIFY_DOING, uid, idx_start, idx_end, &found))
        return -1;
    int matched_uid = -1;
    for (const feature_info *record = found.get(); record != nullptr; record = record->next)
        if (matched_uid == -1 || record->uid < matched_uid)
            matched_uid = record->uid;
    const bool matched = found != nullptr;
    found.reset();
    end_outcome(dev, matched ? OPS_IDENTIFY_MATCH : OPS_IDENTIFY_NO_MATCH);
    return matched_uid;
}

feature_info *search_host_mode(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    FeatureList found;
    if (!run_host_match(dev, DEVS_SEARCH_DOING, uid, idx_start, idx_end, &found))
        return nullptr;
    end_outcome(dev, found != nullptr ? OPS_SEARCH_MATCH : OPS_SEARCH_NO_MATCH);
    return found.release();
}

}  // namespace kelvra
