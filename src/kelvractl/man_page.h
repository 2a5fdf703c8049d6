// man_page.h - kelvractl(1) in roff, made from the command table and the pieces of the help texts, so
// the manual says what `kelvractl --help` says and cannot fall behind a new command or option.
#ifndef KELVRACTL_MAN_PAGE_H
#define KELVRACTL_MAN_PAGE_H

#include "args.h"

#include <string>

namespace kelvractl {

// What the manual says about one install: it is made at build time, for the prefix configured then.
struct ManPageFacts {
    std::string version;      // the project's version
    std::string driver_dir;   // the folder of the module kelvractl loads by default
    std::string private_dir;  // the folder of the stand-in host library and the virtual sensor
    Defaults defaults;        // the option defaults shown (database "" shows where it is looked for)
};

// The whole page; texts through tr(), so a program that sets no locale gets the English manual.
std::string man_page(const ManPageFacts &facts);

}  // namespace kelvractl

#endif
