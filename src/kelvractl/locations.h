// locations.h - where kelvractl finds what it was not given on its command line: the driver module, its
// private libraries and the catalogues, all relative to its own file, so the build tree, any install
// prefix and a DESTDIR tree work without an environment variable; and the user's default database.
#ifndef KELVRACTL_LOCATIONS_H
#define KELVRACTL_LOCATIONS_H

#include <string>

namespace kelvractl {

struct Locations {
    std::string database;     // the default feature database ("" when there is no home)
    std::string module;       // the driver module that belongs with kelvractl
    std::string virtual_sdk;  // the virtual sensor, the project's own libKelDactylen.so
    std::string recorder;     // the trace recorder, another libKelDactylen.so, in a folder of its own
    std::string vendor_sdk;   // where the driver module finds the vendor's SDK
    std::string catalogues;   // the locale directory of kelvractl's catalogue and of that module's
};

// The module, virtual sensor and catalogues that belong with a kelvractl lying in program_dir: the build
// tree's (bin/ beside lib/ and locale/) when its module is there and no installed one is, else those of
// the installed layout.
Locations locations_beside(const std::string &program_dir);

// Those of this kelvractl (its own file, links resolved), with the user's default database.
Locations own_locations();

// Loads the virtual sensor from its full path before the module: the module's NEEDED libKelDactylen.so
// is its soname, so the loader takes the library already loaded and looks in no driver directory.
// It stays loaded until the process ends, as the module does. false with a reason (translated).
// Returns the library's handle, or nullptr with a reason (translated).
void *load_virtual_sdk(const std::string &path, std::string &error);

// Loads the vendor's SDK from the driver directory by its full path before the module, for the same
// reason: otherwise the module's run path or the loader's search path may well find another library of
// that name (the build tree's virtual sensor). nullptr with a reason (translated) when there is none.
void *load_vendor_sdk(const std::string &path, std::string &error);
// "" when the vendor's SDK is there, else why not (translated).
std::string missing_vendor_sdk(const std::string &path);

}  // namespace kelvractl

#endif
