// format_check_bad.cpp - must not compile: a translated text whose placeholder does not fit its argument.
#include "kelvra_internal.h"

void show_code(kelvra_driver_t *priv, const char *code)
{
    kelvra::set_extra_info(priv, kelvra::tr("Generate fingerprint template error, error code: %d"), code);
}
