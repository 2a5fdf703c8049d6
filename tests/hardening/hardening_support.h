// hardening_support.h - stored records read back as plain values, profile edits and file reads shared by
// the fault, stop-storm and security tests.
#ifndef KELVRA_HARDENING_SUPPORT_H
#define KELVRA_HARDENING_SUPPORT_H

#include <string>
#include <vector>

namespace hardening {

struct StoredSample {
    int no;
    std::string data;
};

struct StoredRecord {
    int uid;
    int index;
    std::string driver;
    std::string name;
    std::vector<StoredSample> samples;
};

// Every record of the driver (all users, all indexes) in the host's database, in its order.
std::vector<StoredRecord> stored_records(const std::string &driver);

// Replaces the value of key in a profile's key-file text (the key must be present).
void replace_key(std::string &profile, const std::string &key, const std::string &value);

std::string read_file(const std::string &path);

}  // namespace hardening

#endif
