// operation_loans.cpp - every driver operation a test calls is checked as it returns: the host has had back
// every feature record, sample and database connection the operation took, but for the list it returned.
//
// The test programs are linked with --wrap for each operation, so the tests' own calls (and the simulated
// device's) reach the wrappers below, which call the driver's function (__real_...). A check is made only
// when no other operation ran at the same time, since the host's counts are the process's.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <type_traits>

#include "harness.h"
#include "kelvra_exported.h"
#include "operation_loans.h"

namespace {

std::atomic<int> g_running{0};
std::atomic<unsigned long> g_started{0};

int records_in(const feature_info *list)
{
    int n = 0;
    for (const feature_info *record = list; record != nullptr; record = record->next) {
        ++n;
        for (const feature_sample *sample = record->sample; sample != nullptr; sample = sample->next)
            ++n;
    }
    return n;
}

template <typename Operation>
auto checked(const char *name, Operation &&operation)
{
    const unsigned long started = ++g_started;
    const bool alone_at_start = g_running.fetch_add(1) == 0;
    const kelvra_test::HostLoans before = kelvra_test::host_loans();
    auto result = operation();
    const bool alone_at_end = g_running.fetch_sub(1) == 1;
    if (!alone_at_start || !alone_at_end || g_started.load() != started)
        return result;
    int handed_back = 0;
    if constexpr (std::is_same_v<decltype(result), feature_info *>)
        handed_back = records_in(result);
    kelvra_test::HostLoans expected = before;
    expected.records += handed_back;
    EXPECT_EQ(kelvra_test::host_leftovers(expected), "")
        << name << " kept what the host lent it (besides the " << handed_back << " records and samples it returned)";
    return result;
}

}  // namespace

extern "C" {

int __wrap_kelvra_ops_open(bio_dev *dev)
{
    return checked("open", [&] { return __real_kelvra_ops_open(dev); });
}

void __wrap_kelvra_ops_close(bio_dev *dev)
{
    checked("close", [&] {
        __real_kelvra_ops_close(dev);
        return 0;
    });
}

int __wrap_kelvra_ops_enroll(bio_dev *dev, OpsActions action, int uid, int idx, char *idx_name)
{
    return checked("enroll", [&] { return __real_kelvra_ops_enroll(dev, action, uid, idx, idx_name); });
}

int __wrap_kelvra_ops_verify(bio_dev *dev, OpsActions action, int uid, int idx)
{
    return checked("verify", [&] { return __real_kelvra_ops_verify(dev, action, uid, idx); });
}

int __wrap_kelvra_ops_identify(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end)
{
    return checked("identify", [&] { return __real_kelvra_ops_identify(dev, action, uid, idx_start, idx_end); });
}

feature_info *__wrap_kelvra_ops_search(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end)
{
    return checked("search", [&] { return __real_kelvra_ops_search(dev, action, uid, idx_start, idx_end); });
}

int __wrap_kelvra_ops_clean(bio_dev *dev, OpsActions action, int uid, int idx_start, int idx_end)
{
    return checked("clean", [&] { return __real_kelvra_ops_clean(dev, action, uid, idx_start, idx_end); });
}

feature_info *__wrap_kelvra_ops_get_feature_list(bio_dev *dev, OpsActions action, int uid, int idx_start,
                                                 int idx_end)
{
    return checked("feature list",
                   [&] { return __real_kelvra_ops_get_feature_list(dev, action, uid, idx_start, idx_end); });
}

}  // extern "C"
