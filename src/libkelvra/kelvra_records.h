// kelvra_records.h - the user's stored records in the host's feature database: reading, walking, removing.
#ifndef KELVRA_RECORDS_H
#define KELVRA_RECORDS_H

#include "kelvra_resources.h"

namespace kelvra {

// The user's records on this device with an index in the range, read in one connection that is closed
// again before the caller looks at them. An empty list with database_opened false: the database could not
// be opened.
struct UserRecords {
    bool database_opened = false;
    FeatureList list;
};
UserRecords read_user_records(bio_dev *dev, int uid, int idx_start, int idx_end);

// Deletes the user's records in the range in one connection; the database's answer, 0 on success.
int remove_records(bio_dev *dev, int uid, int idx_start, int idx_end);
// The same in a connection the caller opened (a null one fails), asked once more when the database refuses
// the first time: the caller has had the sensor let the fingers go already, and a record left behind
// would list a finger the sensor no longer holds.
int remove_records_after_sensor(const DbConnection &db, bio_dev *dev, int uid, int idx_start, int idx_end);

// Arms a walk over stored records (ctrlFlag "running"). A stop requested before the walk begins (during an
// extraction, or while the sensor answered) is answered with CTRL_STOPPED instead of being overwritten:
// false, and the walk does not start.
bool arm_walk(kelvra_driver_t *priv);

}  // namespace kelvra

#endif
