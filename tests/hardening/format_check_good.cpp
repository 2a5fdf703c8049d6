// format_check_good.cpp - compiles with the driver's flags: translated texts whose placeholders fit.
#include "kelvra_internal.h"

void show_code(bio_dev *dev, kelvra_driver_t *priv, int code)
{
    kelvra::set_extra_info(priv, kelvra::tr("Generate fingerprint template error, error code: %d"), code);
    bio_print_info(kelvra::tr("No %s device detected\n"), dev->device_name);
}
