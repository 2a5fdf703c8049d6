// kelvra_resources.h - owners of what an operation takes for itself: working buffers, feature lists
// from the host, and database connections, released on every way out of the operation.
#ifndef KELVRA_RESOURCES_H
#define KELVRA_RESOURCES_H

#include <cstddef>
#include <memory>

#include "kelvra_internal.h"

namespace kelvra {

struct BufferRelease {
    void operator()(void *buf) const { iops_buf_free(buf); }
};
using Buffer = std::unique_ptr<unsigned char[], BufferRelease>;
using TextBuffer = std::unique_ptr<char[], BufferRelease>;

// Zero-filled; NULL when memory is exhausted.
inline Buffer obtain_buffer(std::size_t size) { return Buffer(static_cast<unsigned char *>(iops_buf_alloc(size))); }
inline TextBuffer obtain_text(std::size_t size) { return TextBuffer(static_cast<char *>(iops_buf_alloc(size))); }

struct FeatureListRelease {
    void operator()(feature_info *list) const { bio_sto_free_feature_info_list(list); }
};
using FeatureList = std::unique_ptr<feature_info, FeatureListRelease>;

// A copy of a stored record with one of its samples, as a search hands it to the host. Empty when the host
// has no memory for the record; without the sample when it has none for that.
inline FeatureList copy_record(const feature_info *record, const feature_sample *sample)
{
    FeatureList copy(
        bio_sto_new_feature_info(record->uid, record->biotype, record->driver, record->index, record->index_name));
    if (copy != nullptr)
        copy->sample = bio_sto_new_feature_sample(sample->no, sample->data);
    return copy;
}

// One connection to the host's feature database, held for a single query or store. Empty when the
// database cannot be opened.
struct DbRelease {
    void operator()(bio_sto_db *db) const { bio_sto_disconnect_db(db); }
};
using DbConnection = std::unique_ptr<bio_sto_db, DbRelease>;

inline DbConnection connect_db() { return DbConnection(bio_sto_connect_db()); }

}  // namespace kelvra

#endif
