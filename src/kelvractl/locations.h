// locations.h - where kelvractl finds the driver module, its private libraries and the catalogues:
// relative to its own file, so the build tree, any install prefix and a DESTDIR tree all work without
// an environment variable.
#ifndef KELVRACTL_LOCATIONS_H
#define KELVRACTL_LOCATIONS_H

#include <string>

namespace kelvractl {

struct Locations {
    std::string module;       // the driver module, unless --module names another
    std::string virtual_sdk;  // the virtual sensor, the project's own libKelDactylen.so
    std::string locale_dir;   // the catalogues, for bindtextdomain
};

// The pieces that belong with a kelvractl lying in program_dir: the build tree's (bin/ beside lib/)
// when its module is there, the installed layout otherwise.
Locations locations_beside(const std::string &program_dir);

// The pieces that belong with this kelvractl (its own file, links resolved).
Locations own_locations();

// Loads the virtual sensor from its full path before the module: the module's NEEDED libKelDactylen.so
// is its soname, so the loader takes the library already loaded and looks in no driver directory.
// It stays loaded until the process ends, as the module does. false with a reason.
bool load_virtual_sdk(const std::string &path, std::string &error);

}  // namespace kelvractl

#endif
