/* contract_user.c - a program built only from what the installed .pc files give: both contract headers
 * found through Cflags, one call of each library resolved through Libs. */
#include <bio_host.h>
#include <kelfpscan.h>

int main(void)
{
    int count = 0;
    return KELFPSCAN_GetDeviceCount(&count) != 0 || bio_get_ops_timeout_ms() < 0;
}
