// config_fuzz.cpp - the driver's registration and configuration reader on arbitrary key-file text.
//
// Whatever GLib accepts as a key file, configure must register the device and keep each setting exactly
// when the device's group holds it as an integer (its low 32 bits), take 5 and 50 otherwise, and log one
// info line for each setting it defaulted.
#include <glib.h>

#include <cstdint>
#include <string>

#include "bio_host_program.h"
#include "kelvra_internal.h"

namespace {

constexpr char kFallbackName[] = "kelvra-dactylen";

struct LogCount {
    int info = 0;
    int debug = 0;
};

void count_line(bio_log_level level, const char *, void *user)
{
    auto *count = static_cast<LogCount *>(user);
    if (level == BIO_LOG_INFO)
        ++count->info;
    else if (level == BIO_LOG_DEBUG)
        ++count->debug;
}

[[noreturn]] void finding(const char *what, const std::string &group, long long got, long long want)
{
    fprintf(stderr, "FINDING: %s for group \"%s\": got %lld, expected %lld\n", what, group.c_str(), got, want);
    abort();
}

// The value a setting must end up with, read through GLib alone.
int32_t expected_setting(GKeyFile *conf, const char *group, const char *key, int32_t fallback, int *defaulted)
{
    GError *err = nullptr;
    const gint64 value = g_key_file_get_int64(conf, group, key, &err);
    if (err != nullptr) {
        g_error_free(err);
        ++*defaulted;
        return fallback;
    }
    return static_cast<int32_t>(static_cast<uint64_t>(value) & 0xffffffffu);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    bio_log_set_threshold(BIO_LOG_NONE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    GKeyFile *conf = g_key_file_new();
    if (!g_key_file_load_from_data(conf, reinterpret_cast<const char *>(data), size, G_KEY_FILE_NONE, nullptr)) {
        g_key_file_free(conf);
        return 0;
    }

    // The device is named after the first group when there is one, as a host names devices after theirs.
    gchar *start = g_key_file_get_start_group(conf);
    std::string name = start != nullptr ? start : kFallbackName;
    g_free(start);

    int defaulted = 0;
    const int32_t want_level = expected_setting(conf, name.c_str(), "SecurityLevel", 5, &defaulted);
    const int32_t want_quality = expected_setting(conf, name.c_str(), "ImageQuality", 50, &defaulted);

    LogCount count;
    bio_log_set_listener(count_line, &count);
    bio_dev dev{};
    dev.device_name = name.data();
    dev.full_name = name.data();
    if (kelvra_ops_configure(&dev, conf) != 0)
        finding("configure did not return 0", name, 1, 0);
    bio_log_set_listener(nullptr, nullptr);

    const auto *priv = static_cast<const kelvra_driver_t *>(dev.dev_priv);
    if (priv == nullptr)
        finding("no private record", name, 0, 1);
    if (priv->security_level != want_level)
        finding("security_level", name, priv->security_level, want_level);
    if (priv->image_quality != want_quality)
        finding("image_quality", name, priv->image_quality, want_quality);
    if (count.info != defaulted)
        finding("info lines", name, count.info, defaulted);
    if (count.debug < 1)
        finding("debug lines", name, count.debug, 1);
    if (dev.enable != bio_dev_is_enable(&dev, conf))
        finding("enable", name, dev.enable, bio_dev_is_enable(&dev, conf));
    if (priv->handle != nullptr || priv->rawImage != nullptr || priv->ctrlFlag.load() != 0 || priv->extra_info[0] != 0)
        finding("a fresh record that is not zero", name, 1, 0);

    kelvra_ops_free(&dev);
    if (dev.dev_priv != nullptr)
        finding("dev_priv after free", name, 1, 0);
    g_key_file_free(conf);
    bio_journal_clear();
    return 0;
}
