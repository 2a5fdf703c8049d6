// kelvra_records.cpp - the user's stored records in the host's feature database: reading, walking, removing.
#include "kelvra_records.h"

namespace kelvra {

UserRecords read_user_records(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    UserRecords records;
    DbConnection db = connect_db();
    if (!db)
        return records;
    records.database_opened = true;
    records.list.reset(
        bio_sto_get_feature_info(db.get(), uid, dev->bioinfo.biotype, dev->device_name, idx_start, idx_end));
    print_feature_info(records.list.get());
    return records;
}

int remove_records(bio_dev *dev, int uid, int idx_start, int idx_end)
{
    // The host's clean answers a connection it could not open with its own error code.
    bio_sto_db *db = bio_sto_connect_db();
    const int ret = bio_sto_clean_feature_info(db, uid, dev->bioinfo.biotype, dev->device_name, idx_start, idx_end);
    bio_sto_disconnect_db(db);
    return ret;
}

int remove_records_after_sensor(const DbConnection &db, bio_dev *dev, int uid, int idx_start, int idx_end)
{
    const int first = bio_sto_clean_feature_info(db.get(), uid, dev->bioinfo.biotype, dev->device_name, idx_start,
                                                 idx_end);
    if (first == 0 || !db)
        return first;
    // A refusal may be passing (the database busy with another program, memory short for a moment).
    return bio_sto_clean_feature_info(db.get(), uid, dev->bioinfo.biotype, dev->device_name, idx_start, idx_end);
}

bool arm_walk(kelvra_driver_t *priv)
{
    int32_t seen = priv->ctrlFlag.load();
    for (;;) {
        if (seen == CTRL_STOP_REQUESTED) {
            priv->ctrlFlag = CTRL_STOPPED;
            return false;
        }
        if (priv->ctrlFlag.compare_exchange_weak(seen, CTRL_RUNNING))
            return true;
    }
}

}  // namespace kelvra
