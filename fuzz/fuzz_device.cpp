// fuzz_device.cpp - the long-lived opened device the driver fuzzers run their inputs against.
#include "fuzz_device.h"

#include <stdlib.h>

#include <filesystem>

#include "bio_host_program.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"
#include "kelvs_control.h"

namespace kelvra_fuzz {

namespace {

int swallow_command(const char *) { return 0; }

}  // namespace

Device::Device(const char *name, const char *profile) : name_(name)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvra-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        die("set-up: no temporary directory");
    temp_dir_ = pattern;
    marker_dir_ = temp_dir_ + "/driver";
    std::filesystem::create_directories(marker_dir_);

    kelvra::Platform platform = kelvra::default_platform();
    platform.run_command = swallow_command;
    platform.marker_dir = marker_dir_.c_str();
    kelvra::set_platform_for_testing(platform);

    bio_log_set_threshold(BIO_LOG_NONE);
    if (bio_sto_set_db_path(":memory:") != 0)
        die("set-up: no in-memory feature database");

    kelvs_reset();
    char error[256] = {};
    if (kelvs_load_profile_data(profile, error, sizeof error) != 0)
        die("set-up: the virtual sensor refused its profile: %s", error);

    conf_ = g_key_file_new();
    const std::string config = "[" + name_ + "]\nEnable=true\n";
    if (!g_key_file_load_from_data(conf_, config.c_str(), config.size(), G_KEY_FILE_NONE, nullptr))
        die("set-up: configuration refused");
    dev_.device_name = name_.data();
    dev_.full_name = name_.data();
    kelvra_ops_configure(&dev_, conf_);
    if (kelvra_ops_open(&dev_) != 0)
        die("set-up: open failed: %s", priv()->extra_info);
    bio_journal_clear();
}

Device::~Device()
{
    kelvra_ops_close(&dev_);
    kelvra_ops_free(&dev_);
    g_key_file_free(conf_);
    kelvs_reset();
    kelvra::set_platform_for_testing(kelvra::default_platform());
    std::error_code ignored;
    std::filesystem::remove_all(temp_dir_, ignored);
}

}  // namespace kelvra_fuzz
