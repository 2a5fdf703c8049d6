// kelvra_internal.cpp - configuration reader, the extra_info formatter and on-chip user records.
#include "kelvra_internal.h"

#include <glib.h>
#include <libintl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvra {

void read_configuration(bio_dev *dev, GKeyFile *conf)
{
    kelvra_driver_t *priv = kelvra::priv_of(dev);
    GError *err = nullptr;

    // The low 32 bits of the 64-bit value are kept, as the record holds ints.
    priv->security_level = static_cast<int32_t>(g_key_file_get_int64(conf, dev->device_name, "SecurityLevel", &err));
    if (err != nullptr) {
        bio_print_info(kelvra::tr("[%s] Security Level is not set. Use default values: %d\n"), dev->device_name, 5);
        priv->security_level = 5;
        g_error_free(err);
        err = nullptr;
    }

    priv->image_quality = static_cast<int32_t>(g_key_file_get_int64(conf, dev->device_name, "ImageQuality", &err));
    if (err != nullptr) {
        bio_print_info(kelvra::tr("[%s] Fingerprint Quality Threshold is not set. Use default values: %d\n"),
                       dev->device_name, 50);
        priv->image_quality = 50;
        g_error_free(err);
        err = nullptr;
    }

    bio_print_debug(kelvra::tr("[%s] Fingerprint Quality Threshold = %d\n"), dev->device_name, priv->image_quality);
}

const char *tr(const char *msgid) { return dgettext(KELVRA_TEXT_DOMAIN, msgid); }

void vset_extra_info(kelvra_driver_t *priv, const char *format, va_list args)
{
    std::vsnprintf(priv->extra_info, sizeof priv->extra_info, format, args);
}

void set_extra_info(kelvra_driver_t *priv, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vset_extra_info(priv, format, args);
    va_end(args);
}

void fill_user_record(unsigned char *record, std::size_t size, int uid)
{
    std::memset(record, 0, size);
    const auto bits = static_cast<uint32_t>(uid);
    for (int k = 0; k < 4; ++k)
        record[k] = static_cast<unsigned char>((bits >> (8 * k)) & 0xFF);
}

}  // namespace kelvra
