// host_support.h - helpers of the match-on-host driver tests: the comparisons made, notify recorder, stored records.
#ifndef KELVRA_DRIVER_HOST_SUPPORT_H
#define KELVRA_DRIVER_HOST_SUPPORT_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_host_program.h"
#include "bio_host_testing.h"
#include "harness.h"

namespace host_test {

constexpr int kBlock = 20480;
constexpr int kTemplate = kBlock * 6;
constexpr int kTemplateText = kTemplate / 3 * 4;

// A KELFPSCAN_VerifyExt the driver made, as the virtual sensor's call log saw it.
struct VerifyCall {
    int rc;
    int level;
    int count;
    uint64_t probe;      // digest of the feature block compared (compare with digest())
    uint64_t templates;  // digest of the count blocks as the driver handed them over
};
uint64_t digest(const std::vector<unsigned char> &bytes);

// Watches the comparisons through the virtual sensor's call listener.
class VerifySpy {
public:
    VerifySpy();   // starts recording, clears what an earlier spy saw
    ~VerifySpy();  // stops recording and removes the listener
    VerifySpy(const VerifySpy &) = delete;
    VerifySpy &operator=(const VerifySpy &) = delete;

    // Runs after the n-th comparison (1-based) has been answered, before the driver sees the answer; it
    // runs under the sensor's lock, so it must not call the sensor.
    void after_call(std::function<void(int n)> hook);
    std::vector<VerifyCall> calls() const;
    size_t count() const;
};

// The host's notify changes with the text of extra_info at each id 9 and the (fake) time they happened.
struct Notice {
    int mid;
    bool common;
    std::string text;  // extra_info when mid is 9, otherwise empty
    int64_t at_us;
};

class NoticeRecorder {
public:
    explicit NoticeRecorder(kelvra_test::Device &device);
    ~NoticeRecorder();
    NoticeRecorder(const NoticeRecorder &) = delete;
    NoticeRecorder &operator=(const NoticeRecorder &) = delete;

    std::vector<Notice> notices() const;
    std::vector<std::string> texts() const;  // extra_info texts of every id 9, in order
    // Runs on the operation's thread right after each notify change is recorded.
    void on_notice(std::function<void(const Notice &)> hook);

private:
    kelvra_test::Device &device_;
};

// Opens the device of the match-on-host profile, expects success and marks the journal.
void open_host(kelvra_test::Device &d);

// A test that starts without armed database faults and must leave no connection open and no record
// unreleased behind it.
class NoLeftoverConnections : public ::testing::Test {
protected:
    void SetUp() override
    {
        bio_testing_clear_faults();
        loans_ = kelvra_test::host_loans();
    }
    void TearDown() override
    {
        bio_testing_clear_faults();
        EXPECT_EQ(kelvra_test::host_leftovers(loans_), "");
    }
    kelvra_test::HostLoans loans_;
};

// The same, on a match-on-host device that is already open.
class OpenHostDevice : public NoLeftoverConnections {
protected:
    void SetUp() override
    {
        NoLeftoverConnections::SetUp();
        open_host(d);
    }
    kelvra_test::Device d;
};

// Base64 of bytes, through the host's encoder.
std::string encode(const std::vector<unsigned char> &bytes);
// A 122880-byte template whose block k (0-based) is filled with values[k]; missing blocks are zero.
std::vector<unsigned char> blocks_template(std::initializer_list<unsigned char> values);
// Decodes with coreutils base64 -d through a pipe, independently of the host's decoder.
std::vector<unsigned char> coreutils_decode(const std::string &text);

// Stores one record with samples numbered 1, 2, ... holding the given texts.
void store_record(const std::string &driver, int uid, int idx, const std::string &name,
                  const std::vector<std::string> &sample_texts);

// Every record of the driver (all users, all indexes), owned by the caller.
struct FeatureListDeleter {
    void operator()(feature_info *list) const { bio_sto_free_feature_info_list(list); }
};
using FeatureListPtr = std::unique_ptr<feature_info, FeatureListDeleter>;
FeatureListPtr stored_records(const std::string &driver);

size_t count_events(const std::vector<bio_event> &events, bio_event_kind kind, int value);


}  // namespace host_test

#endif
