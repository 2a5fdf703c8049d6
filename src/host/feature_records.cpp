// feature_records.cpp - the linked feature records and samples that drivers and the database exchange.
#include "host_api.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
// Records and samples handed out and not yet released: a driver that forgets to release a list shows here
// in every test, not only under a leak checker.
std::atomic<int> g_outstanding_records{0};
}  // namespace

int bio_host::outstanding_records() { return g_outstanding_records.load(); }

extern "C" {

char *bio_sto_new_str(const char *text)
{
    if (text == nullptr)
        return nullptr;
    const size_t length = std::strlen(text);
    char *copy = bio_host::new_text(length);
    if (copy != nullptr)
        std::memcpy(copy, text, length);
    return copy;
}

feature_info *bio_sto_new_feature_info(int uid, int biotype, const char *driver, int index, const char *index_name)
{
    if (bio_host::fault_fires(BIO_FAULT_NEW_RECORD)) {
        bio_print_error("host: out of memory for a feature record: injected fault\n");
        return nullptr;
    }
    auto *info = static_cast<feature_info *>(std::calloc(1, sizeof(feature_info)));
    if (info == nullptr) {
        bio_print_error("host: out of memory for a feature record\n");
        return nullptr;
    }
    g_outstanding_records.fetch_add(1);
    info->uid = uid;
    info->biotype = biotype;
    info->index = index;
    info->driver = bio_sto_new_str(driver);
    info->index_name = bio_sto_new_str(index_name);
    if ((driver != nullptr && info->driver == nullptr) || (index_name != nullptr && info->index_name == nullptr)) {
        bio_sto_free_feature_info(info);
        return nullptr;
    }
    return info;
}

feature_sample *bio_sto_new_feature_sample(int no, const char *data)
{
    if (bio_host::fault_fires(BIO_FAULT_NEW_SAMPLE)) {
        bio_print_error("host: out of memory for a feature sample: injected fault\n");
        return nullptr;
    }
    auto *sample = static_cast<feature_sample *>(std::calloc(1, sizeof(feature_sample)));
    if (sample == nullptr) {
        bio_print_error("host: out of memory for a feature sample\n");
        return nullptr;
    }
    sample->no = no;
    sample->data = bio_sto_new_str(data);
    if (data != nullptr && sample->data == nullptr) {
        std::free(sample);
        return nullptr;
    }
    g_outstanding_records.fetch_add(1);
    return sample;
}

void bio_sto_free_feature_sample_list(feature_sample *list)
{
    while (list != nullptr) {
        feature_sample *next = list->next;
        bio_host::free_text(list->data);
        std::free(list);
        g_outstanding_records.fetch_sub(1);
        list = next;
    }
}

void bio_sto_free_feature_info(feature_info *info)
{
    if (info == nullptr)
        return;
    bio_sto_free_feature_sample_list(info->sample);
    bio_host::free_text(info->driver);
    bio_host::free_text(info->index_name);
    std::free(info);
    g_outstanding_records.fetch_sub(1);
}

void bio_sto_free_feature_info_list(feature_info *list)
{
    while (list != nullptr) {
        feature_info *next = list->next;
        bio_sto_free_feature_info(list);
        list = next;
    }
}

void print_feature_info(feature_info *list)
{
    // The dump measures every text, and a search hands it lists of 160 KiB templates that are no longer in
    // the cache: nothing is read when nobody would see the lines.
    if (!bio_host::debug_lines_wanted())
        return;
    if (list == nullptr) {
        bio_print_debug("feature list: empty\n");
        return;
    }
    int records = 0;
    for (const feature_info *info = list; info != nullptr; info = info->next) {
        int samples = 0;
        for (const feature_sample *s = info->sample; s != nullptr; s = s->next)
            ++samples;
        bio_print_debug("feature %d: uid %d, biotype %d, driver %s, index %d, name %s, %d sample(s)\n", records,
                        info->uid, info->biotype, info->driver != nullptr ? info->driver : "(none)", info->index,
                        info->index_name != nullptr ? info->index_name : "(none)", samples);
        for (const feature_sample *s = info->sample; s != nullptr; s = s->next) {
            bio_print_debug("  sample no %d, dbid %lld, %zu characters\n", s->no, s->dbid,
                            s->data != nullptr ? std::strlen(s->data) : static_cast<size_t>(0));
        }
        ++records;
    }
}

}  // extern "C"
