// hardening_support.cpp - stored records as plain values, profile edits and file reads for the hardening tests.
#include "hardening_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bio_host.h"

namespace hardening {

std::vector<StoredRecord> stored_records(const std::string &driver)
{
    std::vector<StoredRecord> out;
    bio_sto_db *db = bio_sto_connect_db();
    if (db == nullptr)
        return out;
    feature_info *list = bio_sto_get_feature_info(db, -1, BioT_FingerPrint, driver.c_str(), 0, -1);
    bio_sto_disconnect_db(db);
    for (const feature_info *r = list; r != nullptr; r = r->next) {
        StoredRecord record{r->uid, r->index, r->driver != nullptr ? r->driver : "",
                            r->index_name != nullptr ? r->index_name : "", {}};
        for (const feature_sample *s = r->sample; s != nullptr; s = s->next)
            record.samples.push_back({s->no, s->data != nullptr ? s->data : ""});
        out.push_back(record);
    }
    bio_sto_free_feature_info_list(list);
    return out;
}

void replace_key(std::string &profile, const std::string &key, const std::string &value)
{
    const std::string prefix = "\n" + key + "=";
    const auto at = profile.find(prefix);
    if (at == std::string::npos)
        throw std::invalid_argument("profile has no key " + key);
    const auto begin = at + prefix.size();
    profile.replace(begin, profile.find('\n', begin) - begin, value);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace hardening
