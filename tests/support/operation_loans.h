// operation_loans.h - the driver's own operations, under the names the linker gives them in the test
// programs. A test's call of kelvra_ops_open reaches the check in operation_loans.cpp first; a test that
// compares the driver's slots with its functions compares them with these.
#ifndef KELVRA_TEST_OPERATION_LOANS_H
#define KELVRA_TEST_OPERATION_LOANS_H

#include "bio_host.h"

extern "C" {
int __real_kelvra_ops_open(bio_dev *dev);
void __real_kelvra_ops_close(bio_dev *dev);
int __real_kelvra_ops_enroll(bio_dev *dev, OpsActions action, int uid, int idx, char *idx_name);
int __real_kelvra_ops_verify(bio_dev *dev, OpsActions action, int uid, int idx);
int __real_kelvra_ops_identify(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
feature_info *__real_kelvra_ops_search(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
int __real_kelvra_ops_clean(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end);
feature_info *__real_kelvra_ops_get_feature_list(bio_dev *dev, OpsActions action, int uid, int idx_start,
                                                 int idx_end);
}

#endif
