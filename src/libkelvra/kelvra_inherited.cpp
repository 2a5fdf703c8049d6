// kelvra_inherited.cpp - the inherited surface of kelvra_exported.h: the module-wide variables, and each
// inherited routine as a thin wrapper that turns the driver's own typed answer into the one it always gave.
#include <cstdlib>
#include <cstring>

#include "kelvra_endings.h"
#include "kelvra_internal.h"
#include "kelvra_wait.h"

extern "C" {

KELVRA_EXPORT unsigned char mocmohFlag_Dev1 = 0;
KELVRA_EXPORT int w = KELVRA_MOC_SIDE;
KELVRA_EXPORT int h = KELVRA_MOC_SIDE;
KELVRA_EXPORT unsigned char imgBuf[KELVRA_MOC_SIDE * KELVRA_MOC_SIDE];

int iops_para_config(bio_dev *dev, GKeyFile *conf)
{
    kelvra::read_configuration(dev, conf);
    return 0;
}

void *iops_buf_alloc(size_t size)
{
    // calloc of 0 bytes may return NULL; every caller treats NULL as "no buffer".
    return std::calloc(size == 0 ? 1 : size, 1);
}

void iops_buf_free(void *buf)
{
    if (buf != nullptr)
        std::free(buf);
}

void iops_buf_clean(void *buf, size_t size)
{
    if (buf != nullptr && size > 0)
        std::memset(buf, 0, size);
}

int iops_device_discover(void) { return kelvra::count_sensors(); }

int ReinstallOSCheck(bio_dev *dev) { return kelvra::check_reinstall_marker(dev); }

int iops_finger_status_check(bio_dev *dev, int action)
{
    const kelvra::WaitOutcome wait = kelvra::wait_for_graded_frame(
        dev, action == 1 ? kelvra::FingerAwaited::Press : kelvra::FingerAwaited::Lift);
    if (wait.satisfied())
        return 0;
    kelvra::end_finger_wait(dev, wait);
    return -1;
}

int DevAlg_ImgQsize(unsigned char *img, int w, int h, float *size)
{
    *size = kelvra::covered_percentage(img, w, h);
    return 0;
}

int iops_finger_status_check_moc(bio_dev *dev, int action, int /*enrollCnt*/)
{
    const kelvra::FingerAwaited awaited = action == 1    ? kelvra::FingerAwaited::Press
                                          : action == -1 ? kelvra::FingerAwaited::Lift
                                                         : kelvra::FingerAwaited::Neither;
    return kelvra::wait_for_presence(dev, awaited).satisfied() ? 0 : -1;
}

int iops_internel_enroll_search(bio_dev *dev, unsigned char *feature_data, int uid, int idx_start, int idx_end)
{
    return kelvra::matches_stored_template(dev, feature_data, uid, idx_start, idx_end) ? 0 : 1;
}

int enroll_check(bio_dev *dev, unsigned char *templateFeature, unsigned char *featureBuf, int featureNum)
{
    return kelvra::scores_above_enroll_threshold(dev, templateFeature, featureBuf, featureNum) ? 1 : 0;
}

int iops_internel_enroll_count(bio_dev *dev, unsigned char *enrollCount, int uid, int idx_start, int idx_end)
{
    *enrollCount = kelvra::count_stored_samples(dev, uid, idx_start, idx_end);
    return 1;
}

int iops_fingerEnroll_status_check(bio_dev *dev, int enrollCnt)
{
    const kelvra::WaitOutcome step = kelvra::run_enroll_step(dev, enrollCnt);
    if (step.satisfied())
        return 0;
    if (step.end == kelvra::WaitOutcome::End::Answer &&
        (step.code == KELFPSCAN_ENROLL_OVERLAP || step.code == KELFPSCAN_ENROLL_ALREADY_STORED))
        return step.code;
    kelvra::end_sensor_wait(dev, step);
    return -1;
}

feature_info *iops_internel_search(bio_dev *dev, unsigned char *feature_data, int uid, int idx_start,
                                   int idx_end)
{
    return kelvra::search_stored_templates(dev, feature_data, uid, idx_start, idx_end);
}

// Kept for tools that look it up; it never searched anything.
feature_info *iops_internel_searchForOS(bio_dev *, unsigned char *, int, int, int, int) { return nullptr; }

int iops_fingerIdentify_status_check(bio_dev *dev, int UID, int *matUserId)
{
    const kelvra::WaitOutcome search = kelvra::search_on_sensor(dev, UID, matUserId);
    if (search.satisfied())
        return KELFPSCAN_SEARCH_MATCH;
    if (search.end == kelvra::WaitOutcome::End::Answer)
        return search.code;
    kelvra::end_sensor_wait(dev, search);
    return -1;
}

int iops_fingerDel_status_check(bio_dev *dev, int UID, int fpID) { return kelvra::delete_on_sensor(dev, UID, fpID); }

}  // extern "C"
