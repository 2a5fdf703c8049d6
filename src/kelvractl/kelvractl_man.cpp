// kelvractl_man.cpp - writes kelvractl(1) from the command table at build time:
//   kelvractl_man VERSION DRIVER_DIR PRIVATE_DIR > kelvractl.1
// It sets no locale, so the page is English, and takes the operation time-out's default from the host
// library kelvractl runs on.
#include "man_page.h"

#include <bio_host.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: kelvractl_man VERSION DRIVER_DIR PRIVATE_DIR > kelvractl.1\n");
        return 2;
    }
    kelvractl::ManPageFacts facts;
    facts.version = argv[1];
    facts.driver_dir = argv[2];
    facts.private_dir = argv[3];
    facts.defaults.timeout_ms = std::to_string(bio_get_ops_timeout_ms());
    facts.defaults.module = facts.driver_dir + "/libkelvra.so";
    return std::fputs(kelvractl::man_page(facts).c_str(), stdout) < 0 ? 1 : 0;
}
