// registration_test.cpp - configure fills the host's record, reads its two settings, and a disabled
// device refuses every operation that would touch the sensor or the database.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "kelvra_internal.h"
#include "operation_loans.h"

using kelvra_test::Device;

namespace {

std::vector<std::string> lines_at(const Device &d, bio_log_level level)
{
    std::vector<std::string> out;
    for (const auto &line : d.logs())
        if (line.level == level)
            out.push_back(line.text);
    return out;
}

Device::Options with_config(const std::string &config)
{
    Device::Options options;
    options.config = config;
    return options;
}

}  // namespace

// Makes sure the record says what the host expects of this driver; an example failure is a slot left
// pointing at an operation the driver does not offer.
TEST(Configure, FillsIdentitySlotsAndVersion)
{
    bio_dev dev{};
    dev.device_name = const_cast<char *>("kelvra-test");
    auto host_configure = reinterpret_cast<int (*)(bio_dev *, GKeyFile *)>(0x1234);
    auto host_callback = reinterpret_cast<void (*)(bio_dev *, int)>(0x5678);
    dev.ops_configure = host_configure;
    dev.ops_status_changed_callback = host_callback;
    dev.ops_capture = reinterpret_cast<char *(*)(bio_dev *, OpsActions)>(0x9abc);
    dev.ops_feature_rename = reinterpret_cast<int (*)(bio_dev *, int, int, char *)>(0xdef0);

    GKeyFile *conf = g_key_file_new();
    bio_journal_clear();
    ASSERT_EQ(kelvra_ops_configure(&dev, conf), 0);

    EXPECT_EQ(dev.bioinfo.biotype, BioT_FingerPrint);
    EXPECT_EQ(dev.bioinfo.stotype, StoT_Device);
    EXPECT_EQ(dev.bioinfo.eigtype, EigT_Eigenvalue);
    EXPECT_EQ(dev.bioinfo.vertype, VerT_Software);
    EXPECT_EQ(dev.bioinfo.idtype, IdT_Software);
    EXPECT_EQ(dev.bioinfo.bustype, BusT_USB);
    EXPECT_EQ(dev.drv_api_version.major, 0);
    EXPECT_EQ(dev.drv_api_version.minor, 10);
    EXPECT_EQ(dev.drv_api_version.function, 2);

    EXPECT_EQ(dev.ops_configure, host_configure);
    EXPECT_EQ(dev.ops_status_changed_callback, host_callback);
    EXPECT_EQ(dev.ops_capture, nullptr);
    EXPECT_EQ(dev.ops_feature_rename, nullptr);
    EXPECT_EQ(dev.ops_driver_init, kelvra_ops_driver_init);
    EXPECT_EQ(dev.ops_free, kelvra_ops_free);
    EXPECT_EQ(dev.ops_discover, kelvra_ops_discover);
    EXPECT_EQ(dev.ops_open, __real_kelvra_ops_open);
    EXPECT_EQ(dev.ops_close, __real_kelvra_ops_close);
    EXPECT_EQ(dev.ops_enroll, __real_kelvra_ops_enroll);
    EXPECT_EQ(dev.ops_verify, __real_kelvra_ops_verify);
    EXPECT_EQ(dev.ops_identify, __real_kelvra_ops_identify);
    EXPECT_EQ(dev.ops_search, __real_kelvra_ops_search);
    EXPECT_EQ(dev.ops_clean, __real_kelvra_ops_clean);
    EXPECT_EQ(dev.ops_get_feature_list, __real_kelvra_ops_get_feature_list);
    EXPECT_EQ(dev.ops_stop_by_user, kelvra_ops_stop_by_user);
    EXPECT_EQ(dev.ops_get_dev_status_mesg, kelvra_ops_get_dev_status_mesg);
    EXPECT_EQ(dev.ops_get_ops_result_mesg, kelvra_ops_get_ops_result_mesg);
    EXPECT_EQ(dev.ops_get_notify_mid_mesg, kelvra_ops_get_notify_mid_mesg);
    EXPECT_EQ(dev.ops_attach, kelvra_ops_attach);
    EXPECT_EQ(dev.ops_detach, kelvra_ops_detach);

    // The host-visible state starts from idle, success, idle, through the common-code setters.
    std::vector<bio_event> events(bio_journal_size());
    events.resize(bio_journal_read(0, events.data(), events.size()));
    EXPECT_EQ(kelvra_test::describe(events), "S0 Rc0 Nc0");

    auto *priv = static_cast<kelvra_driver_t *>(dev.dev_priv);
    ASSERT_NE(priv, nullptr);
    EXPECT_EQ(priv->handle, nullptr);
    EXPECT_EQ(priv->rawImage, nullptr);
    EXPECT_EQ(priv->ctrlFlag.load(), 0);
    EXPECT_EQ(priv->timeoutMS, 0);
    EXPECT_STREQ(priv->extra_info, "");

    kelvra_ops_free(&dev);
    g_key_file_free(conf);
}

TEST(Configure, HandsOutDistinctDriverIds)
{
    Device first;
    Device::Options other;
    other.name = "kelvra-second";
    Device second(other);
    EXPECT_NE(first.dev()->driver_id, second.dev()->driver_id);
}

// Makes sure a missing or malformed setting falls back to its default with one info line per key.
TEST(Settings, MissingGroupTakesBothDefaults)
{
    Device d(with_config("[another-device]\nSecurityLevel=9\n"));
    EXPECT_EQ(d.priv()->security_level, 5);
    EXPECT_EQ(d.priv()->image_quality, 50);
    EXPECT_EQ(lines_at(d, BIO_LOG_INFO),
              (std::vector<std::string>{"[kelvra-test] Security Level is not set. Use default values: 5\n",
                                        "[kelvra-test] Fingerprint Quality Threshold is not set. Use default values: 50\n"}));
    EXPECT_EQ(lines_at(d, BIO_LOG_DEBUG).back(), "[kelvra-test] Fingerprint Quality Threshold = 50\n");
}

TEST(Settings, OneKeySetTheOtherDefaulted)
{
    Device d(with_config("[kelvra-test]\nSecurityLevel=8\n"));
    EXPECT_EQ(d.priv()->security_level, 8);
    EXPECT_EQ(d.priv()->image_quality, 50);
    EXPECT_EQ(lines_at(d, BIO_LOG_INFO),
              (std::vector<std::string>{"[kelvra-test] Fingerprint Quality Threshold is not set. Use default values: 50\n"}));
    EXPECT_EQ(lines_at(d, BIO_LOG_DEBUG).back(), "[kelvra-test] Fingerprint Quality Threshold = 50\n");
}

TEST(Settings, WordInsteadOfNumberCountsAsMissing)
{
    Device d(with_config("[kelvra-test]\nSecurityLevel=high\nImageQuality=70\n"));
    EXPECT_EQ(d.priv()->security_level, 5);
    EXPECT_EQ(d.priv()->image_quality, 70);
    EXPECT_EQ(lines_at(d, BIO_LOG_INFO).size(), 1u);
    EXPECT_EQ(lines_at(d, BIO_LOG_DEBUG).back(), "[kelvra-test] Fingerprint Quality Threshold = 70\n");
}

TEST(Settings, KeepsTheLow32BitsOfALargeValue)
{
    Device d(with_config("[kelvra-test]\nSecurityLevel=4294967303\n"));  // 2^32 + 7
    EXPECT_EQ(d.priv()->security_level, 7);
}

TEST(Lifecycle, FreeTwiceLeavesNoRecord)
{
    bio_dev dev{};
    dev.device_name = const_cast<char *>("kelvra-test");
    GKeyFile *conf = g_key_file_new();
    kelvra_ops_configure(&dev, conf);
    kelvra_ops_free(&dev);
    EXPECT_EQ(dev.dev_priv, nullptr);
    kelvra_ops_free(&dev);
    EXPECT_EQ(dev.dev_priv, nullptr);
    g_key_file_free(conf);
}

TEST(Buffers, AllocZeroFillsFreeAcceptsNull)
{
    auto *buf = static_cast<unsigned char *>(iops_buf_alloc(4096));
    ASSERT_NE(buf, nullptr);
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(buf[i], 0) << "byte " << i;
    buf[10] = 7;
    iops_buf_clean(buf, 4096);
    EXPECT_EQ(buf[10], 0);
    iops_buf_free(buf);
    iops_buf_free(nullptr);
    iops_buf_clean(nullptr, 10);
}

// A disabled device: every operation that would touch the sensor or the database sets the disabled
// status and returns at once. Makes sure no SDK call is made; an example failure is an open that
// initialises the SDK of a device the administrator switched off.
class DisabledDevice : public ::testing::Test {
protected:
    DisabledDevice() : d(with_config("[kelvra-test]\nEnable=false\n")) {}
    void SetUp() override
    {
        ASSERT_EQ(d.dev()->enable, 0);
        kelvs_log_clear();
        d.mark();
    }
    void TearDown() override { EXPECT_EQ(kelvs_log_size(), 0u) << "the sensor was touched"; }
    Device d;
};

TEST_F(DisabledDevice, OpenSetsDisabledAfterTheReset)
{
    EXPECT_EQ(d.open(), -1);
    EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S3");
}

TEST_F(DisabledDevice, EnrollAlsoSaysDisabled)
{
    const int64_t before = kelvra_test::FakeTime::now_us();
    EXPECT_EQ(kelvra_ops_enroll(d.dev(), ACTION_START, 1000, 1, const_cast<char *>("thumb")), -1);
    EXPECT_EQ(d.journal(), "S3 Nc5");
    EXPECT_EQ(kelvra_test::FakeTime::now_us() - before, 1'000'000) << "enroll pauses 1000 ms first";
}

TEST_F(DisabledDevice, MatchingOperationsSetOnlyTheStatus)
{
    EXPECT_EQ(kelvra_ops_verify(d.dev(), ACTION_START, 1000, 1), -1);
    EXPECT_EQ(kelvra_ops_identify(d.dev(), ACTION_START, 1000, 0, -1), -1);
    EXPECT_EQ(kelvra_ops_search(d.dev(), ACTION_START, 1000, 0, -1), nullptr);
    EXPECT_EQ(d.journal(), "S3 S3 S3");
}

TEST_F(DisabledDevice, ListAndCleanTouchNoDatabase)
{
    feature_info *record = bio_sto_new_feature_info(1000, BioT_FingerPrint, "kelvra-test", 1, "thumb");
    record->sample = bio_sto_new_feature_sample(1, "");
    bio_sto_db *db = bio_sto_connect_db();
    ASSERT_EQ(bio_sto_set_feature_info(db, record), 0);
    bio_sto_disconnect_db(db);
    bio_sto_free_feature_info_list(record);
    d.mark();

    EXPECT_EQ(kelvra_ops_get_feature_list(d.dev(), ACTION_START, 1000, 0, -1), nullptr);
    const int64_t before = kelvra_test::FakeTime::now_us();
    EXPECT_EQ(kelvra_ops_clean(d.dev(), ACTION_START, 1000, 0, -1), 0);
    EXPECT_EQ(kelvra_test::FakeTime::now_us() - before, 100'000) << "clean pauses 100 ms first";
    EXPECT_EQ(d.journal(), "S3 S3");

    db = bio_sto_connect_db();
    feature_info *kept = bio_sto_get_feature_info(db, 1000, BioT_FingerPrint, "kelvra-test", 0, -1);
    bio_sto_disconnect_db(db);
    EXPECT_NE(kept, nullptr) << "clean of a disabled device deleted a record";
    bio_sto_free_feature_info_list(kept);
}

TEST_F(DisabledDevice, DiscoverAndStopStillAnswer)
{
    ASSERT_EQ(d.open(), -1);
    const int32_t flag = d.priv()->ctrlFlag.load();
    EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 200), 0) << "nothing runs on a disabled device";
    EXPECT_EQ(d.priv()->ctrlFlag.load(), flag);
    EXPECT_EQ(kelvra_ops_discover(d.dev()), 1);
    EXPECT_EQ(kelvs_log_count(KELVS_GetDeviceCount), 1u);
    kelvs_log_clear();
}
