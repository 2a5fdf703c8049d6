// stored_sample_fuzz.cpp - any stored sample text through the duplicate check and the template search.
//
// The input is the text of the one sample of the one record the user has on this device. Both walks
// must come back, agree with each other, and hit exactly when the text is base64 of at most one
// template that the sensor matches with the probe; another user's matching template must never count.
// Every decode into a driver buffer is checked against ASan's shadow before it runs, because the
// decoder itself (libmodpbase64) is not instrumented.
#include <dlfcn.h>
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_device.h"
#include "kelfpscan.h"
#include "bio_host_program.h"
#include "kelvra_internal.h"

namespace {

constexpr int kUid = 1;
constexpr int kOtherUid = 2;
constexpr int kIndex = 3;
constexpr char kIndexName[] = "right thumb";
constexpr char kDeviceName[] = "kelvra-fuzz";

using DecodeFn = int (*)(const char *, unsigned char *);

DecodeFn real_decode()
{
    static const DecodeFn fn = reinterpret_cast<DecodeFn>(dlsym(RTLD_NEXT, "bio_base64_decode"));
    if (fn == nullptr)
        kelvra_fuzz::die("set-up: the host's bio_base64_decode is not reachable");
    return fn;
}

struct Fixture {
    kelvra_fuzz::Device device{kDeviceName, kelvra_fuzz::kHostProfile};
    std::vector<unsigned char> probe;
};

Fixture *g_fixture = nullptr;

void store_sample(bio_dev *dev, int uid, const char *text, bool replace)
{
    bio_sto_db *db = bio_sto_connect_db();
    if (db == nullptr)
        kelvra_fuzz::die("the in-memory feature database could not be opened");
    if (replace && bio_sto_clean_feature_info(db, uid, dev->bioinfo.biotype, dev->device_name, 0, -1) != 0)
        kelvra_fuzz::die("cleaning the user's records failed");
    feature_info *info = bio_sto_new_feature_info(uid, dev->bioinfo.biotype, dev->device_name, kIndex, kIndexName);
    info->sample = bio_sto_new_feature_sample(1, text);
    if (bio_sto_set_feature_info(db, info) != 0)
        kelvra_fuzz::die("the host refused to store a sample text of %zu bytes", std::strlen(text));
    bio_sto_free_feature_info_list(info);
    bio_sto_disconnect_db(db);
}

// What the walks must conclude about one stored text, worked out without the driver: a text that is
// not base64 or holds more than one template never matches; otherwise the template it decodes to
// (the rest of the area zero) is compared by the sensor.
bool expected_hit(void *handle, const unsigned char *probe, const char *text)
{
    const long length = bio_base64_decoded_length(text);
    if (length < 0 || length > KELVRA_TEMPLATE_SIZE)
        return false;
    std::vector<unsigned char> area(KELVRA_TEMPLATE_SIZE, 0);
    if (real_decode()(text, area.data()) != length)
        kelvra_fuzz::die("the host's decoder disagrees with its own length of %ld", length);
    int similarity = 0;
    int match = 1;
    const int rc = KELFPSCAN_VerifyExt(handle, 5, probe, KELVRA_TEMPLATE_BLOCKS, area.data(), &similarity, &match);
    return rc == 0 && match == 0;
}

std::string encode_template(const std::vector<unsigned char> &blocks)
{
    std::string text(static_cast<size_t>(KELVRA_TEMPLATE_TEXT_SIZE), '\0');
    const int n = bio_base64_encode(blocks.data(), text.data(), static_cast<int>(blocks.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

}  // namespace

extern "C" {

// The driver's decodes land here first: the whole decoded length must be addressable where it goes.
int bio_base64_decode(const char *text, unsigned char *out)
{
    const long length = text != nullptr ? bio_base64_decoded_length(text) : -1;
    if (length > 0 && out != nullptr) {
        if (void *bad = __asan_region_is_poisoned(out, static_cast<size_t>(length)))
            kelvra_fuzz::die("a stored sample decodes to %ld bytes, past the end of its area at byte %td", length,
                             static_cast<unsigned char *>(bad) - out);
    }
    return real_decode()(text, out);
}

int LLVMFuzzerInitialize(int *, char ***)
{
    g_fixture = new Fixture;
    bio_dev *dev = g_fixture->device.dev();
    kelvra_driver_t *priv = g_fixture->device.priv();
    g_fixture->probe = kelvra_fuzz::press_and_extract(priv->handle, "alice", priv->imageW, priv->imageH);

    // Another user enrolled the very finger the probe comes from.
    std::vector<unsigned char> blocks;
    for (int k = 0; k < KELVRA_TEMPLATE_BLOCKS; ++k) {
        const auto block = kelvra_fuzz::press_and_extract(priv->handle, "alice", priv->imageW, priv->imageH);
        blocks.insert(blocks.end(), block.begin(), block.end());
    }
    const std::string other = encode_template(blocks);
    if (!expected_hit(priv->handle, g_fixture->probe.data(), other.c_str()))
        kelvra_fuzz::die("set-up: the probe does not match a template of its own finger");
    store_sample(dev, kOtherUid, other.c_str(), true);
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    bio_dev *dev = g_fixture->device.dev();
    kelvra_driver_t *priv = g_fixture->device.priv();
    unsigned char *probe = g_fixture->probe.data();

    // The host hands drivers NUL-terminated text: a NUL in the input ends the stored text there.
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *text = input.c_str();
    store_sample(dev, kUid, text, true);
    const bool hit = expected_hit(priv->handle, probe, text);

    priv->ctrlFlag = CTRL_RUNNING;
    const int unique = iops_internel_enroll_search(dev, probe, kUid, 0, -1);
    if (unique != 0 && unique != 1)
        kelvra_fuzz::die("the duplicate check returned %d", unique);
    if ((unique == 0) != hit)
        kelvra_fuzz::die("the duplicate check says %s, the sensor says %s", unique == 0 ? "enrolled" : "new",
                         hit ? "match" : "no match");

    priv->ctrlFlag = CTRL_RUNNING;
    feature_info *found = iops_internel_search(dev, probe, kUid, 0, -1);
    if (priv->ctrlFlag.load() != CTRL_FINISHED)
        kelvra_fuzz::die("the template search left ctrlFlag at %d", priv->ctrlFlag.load());
    if ((found != nullptr) != hit)
        kelvra_fuzz::die("the template search %s, the sensor says %s", found ? "found a record" : "found nothing",
                         hit ? "match" : "no match");
    if (found != nullptr) {
        const feature_sample *sample = found->sample;
        if (found->next != nullptr || found->uid != kUid || found->index != kIndex ||
            std::strcmp(found->index_name, kIndexName) != 0 || std::strcmp(found->driver, kDeviceName) != 0)
            kelvra_fuzz::die("the template search returned a record other than the user's one");
        if (sample == nullptr || sample->next != nullptr || sample->no != 1 || std::strcmp(sample->data, text) != 0)
            kelvra_fuzz::die("the found record does not carry exactly the sample that matched");
    }
    bio_sto_free_feature_info_list(found);
    bio_journal_clear();
    return 0;
}

}  // extern "C"
