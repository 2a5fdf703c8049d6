/* contract_headers.c - the two contract headers must compile as C99 with every warning an error. */
#include "bio_host.h"
#include "kelfpscan.h"

/* A C host can fill the operation slots and a C driver can call the SDK. */
int kelvra_contract_headers_compile_as_c(void);
int kelvra_contract_headers_compile_as_c(void)
{
    bio_dev dev = {0};
    feature_info info = {0};
    KELFPSCAN_HANDLE handle = 0;
    (void)handle;
    dev.bioinfo.biotype = BioT_FingerPrint;
    info.next = 0;
    return (int)sizeof dev + (int)sizeof info + KELFPSCAN_FEATURE_SIZE + DEVS_SEARCH_DOING;
}
