// bench_support.cpp - the template database and the opened device of the match-on-host benchmarks.
#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bio_host_program.h"
#include "kelvra_internal.h"
#include "kelvs_control.h"

namespace bench {

namespace {

constexpr char kProfile[] =
    "[Sensor]\nWorkMode=host\nCount=1\nWidth=160\nHeight=160\nDpi=508\nCaptureMs=1\n"
    "FwMinorVersion=80\nFwVersion=24\nMcuType=7\nSensorType=37\n[Finger]\nName=none\n";

// Records are stored this many at a time, so that making the database never holds all the texts.
constexpr int kStoredAtOnce = 50;

}  // namespace

void die(const char *what)
{
    std::fprintf(stderr, "%s: %s\n", g_get_prgname() != nullptr ? g_get_prgname() : "benchmark", what);
    std::exit(1);
}

void make_template_database(const std::string &path, int n)
{
    if (bio_sto_set_db_path(path.c_str()) != 0)
        die("cannot create the database file");
    std::mt19937_64 rng(static_cast<uint64_t>(n) * 7919u);
    std::vector<unsigned char> raw(KELVRA_TEMPLATE_SIZE);
    std::string text(KELVRA_TEMPLATE_TEXT_SIZE, '\0');
    for (int first = 0; first < n; first += kStoredAtOnce) {
        feature_info *head = nullptr;
        feature_info **tail = &head;
        for (int i = first; i < n && i < first + kStoredAtOnce; ++i) {
            for (size_t k = 0; k < raw.size(); k += 8) {
                const uint64_t v = rng();
                std::memcpy(raw.data() + k, &v, 8);
            }
            bio_base64_encode(raw.data(), text.data(), KELVRA_TEMPLATE_SIZE);
            const std::string name = "finger " + std::to_string(i);
            feature_info *info = bio_sto_new_feature_info(kUid, BioT_FingerPrint, kDeviceName, i, name.c_str());
            info->sample = bio_sto_new_feature_sample(1, text.c_str());
            *tail = info;
            tail = &info->next;
        }
        bio_sto_db *db = bio_sto_connect_db();
        const bool stored = db != nullptr && bio_sto_set_feature_info(db, head) == 0;
        bio_sto_disconnect_db(db);
        bio_sto_free_feature_info_list(head);
        if (!stored)
            die("cannot store the templates");
    }
}

HostModeDevice::HostModeDevice()
{
    bio_log_set_threshold(BIO_LOG_NONE);
    char error[256] = {};
    if (kelvs_load_profile_data(kProfile, error, sizeof error) != 0)
        die(error);
    conf_ = g_key_file_new();
    const std::string config = std::string("[") + kDeviceName + "]\nEnable=true\n";
    g_key_file_load_from_data(conf_, config.c_str(), config.size(), G_KEY_FILE_NONE, nullptr);
    dev_.device_name = const_cast<char *>(kDeviceName);
    dev_.full_name = dev_.device_name;
    if (kelvra_ops_configure(&dev_, conf_) != 0 || kelvra_ops_open(&dev_) != 0)
        die("cannot open the virtual sensor");
}

HostModeDevice::~HostModeDevice()
{
    kelvra_ops_close(&dev_);
    kelvra_ops_free(&dev_);
    g_key_file_free(conf_);
}

}  // namespace bench
