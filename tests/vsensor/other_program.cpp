// other_program.cpp - another program using the virtual sensor: opens it with the profile given as its
// argument, says how that went on one line ("opened", "refused PID" or "failed RC") and then waits to
// be killed, holding whatever it opened.
#include "kelfpscan.h"
#include "kelvs_control.h"

#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv)
{
    char error[256] = "";
    if (argc != 2 || kelvs_load_profile_data(argv[1], error, sizeof error) != 0) {
        std::printf("failed profile %s\n", error);
        return 2;
    }
    KELFPSCAN_HANDLE handle = nullptr;
    const int rc = KELFPSCAN_GlobalInit() == 0 ? KELFPSCAN_OpenDevice(&handle, 0) : -1000;
    if (rc == 0)
        std::printf("opened\n");
    else if (rc == KELVS_ERR_BUSY)
        std::printf("refused %d\n", kelvs_open_refused_by());
    else
        std::printf("failed %d\n", rc);
    std::fflush(stdout);
    for (;;)
        pause();
}
