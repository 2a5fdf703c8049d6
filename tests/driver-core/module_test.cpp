// module_test.cpp - the driver as a host sees it: loaded with dlopen, exporting only its named symbols,
// and deaf to a host that defines globals of the same names.
#include <dlfcn.h>
#include <glib.h>
#include <link.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "bio_host_program.h"
#include "kelvs_control.h"

// The host's own globals with the driver's names, visible to the dynamic linker (the executable is
// linked with its symbols exported). A module whose references bind to these would measure 5 x 5
// frames in the host's buffer.
extern "C" {
__attribute__((visibility("default"))) int w = 5;
__attribute__((visibility("default"))) int h = 5;
__attribute__((visibility("default"))) unsigned char imgBuf[96 * 96];
}

namespace {

const std::set<std::string> kExported = {
    "kelvra_ops_configure", "kelvra_ops_driver_init", "kelvra_ops_free", "kelvra_ops_attach", "kelvra_ops_detach",
    "kelvra_ops_discover", "kelvra_ops_open", "kelvra_ops_close", "kelvra_ops_enroll", "kelvra_ops_verify",
    "kelvra_ops_identify", "kelvra_ops_search", "kelvra_ops_clean", "kelvra_ops_get_feature_list",
    "kelvra_ops_stop_by_user", "kelvra_ops_get_dev_status_mesg", "kelvra_ops_get_ops_result_mesg",
    "kelvra_ops_get_notify_mid_mesg", "iops_para_config", "iops_buf_alloc", "iops_buf_free", "iops_buf_clean",
    "iops_device_discover", "ReinstallOSCheck", "iops_finger_status_check", "DevAlg_ImgQsize",
    "iops_finger_status_check_moc", "iops_internel_enroll_search", "enroll_check", "iops_internel_enroll_count",
    "iops_fingerEnroll_status_check", "iops_internel_search", "iops_internel_searchForOS",
    "iops_fingerIdentify_status_check", "iops_fingerDel_status_check", "mocmohFlag_Dev1", "w", "h", "imgBuf"};

std::set<std::string> defined_dynamic_symbols(const char *path)
{
    std::set<std::string> names;
    const std::string command = std::string("nm -D --defined-only ") + path;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        text.erase(text.find_last_not_of("\r\n") + 1);
        const auto space = text.find_last_of(' ');
        names.insert(space == std::string::npos ? text : text.substr(space + 1));
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return names;
}

class LoadedModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = dlopen(KELVRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
    }
    void TearDown() override
    {
        if (module != nullptr)
            dlclose(module);
    }
    template <typename T> T symbol(const char *name)
    {
        void *address = dlsym(module, name);
        EXPECT_NE(address, nullptr) << name;
        return reinterpret_cast<T>(address);
    }
    void *module = nullptr;
};

}  // namespace

TEST(ModuleSymbols, ExportsExactlyTheDriversNames)
{
    const std::set<std::string> names = defined_dynamic_symbols(KELVRA_MODULE_PATH);
    std::vector<std::string> extra;
    std::set_difference(names.begin(), names.end(), kExported.begin(), kExported.end(), std::back_inserter(extra));
    std::vector<std::string> missing;
    std::set_difference(kExported.begin(), kExported.end(), names.begin(), names.end(), std::back_inserter(missing));
    EXPECT_TRUE(extra.empty()) << "exported but not the driver's: " << ::testing::PrintToString(extra);
    EXPECT_TRUE(missing.empty()) << "not exported: " << ::testing::PrintToString(missing);
}

// Makes sure the libbiometric.so.0 that programs run against offers no test hook; an example failure is
// a fault point any program could arm. The test build offers the same calls plus its hooks.
TEST(HostLibrarySymbols, ProductionBuildExportsNoTestHook)
{
    const std::set<std::string> production = defined_dynamic_symbols(KELVRA_HOST_LIBRARY_PATH);
    std::set<std::string> hooks;
    std::set<std::string> contract;
    for (const std::string &name : defined_dynamic_symbols(KELVRA_HOST_TESTING_LIBRARY_PATH))
        (name.rfind("bio_testing_", 0) == 0 ? hooks : contract).insert(name);
    ASSERT_EQ(production.count("bio_sto_connect_db"), 1u) << "nm did not read " << KELVRA_HOST_LIBRARY_PATH;
    EXPECT_EQ(hooks.count("bio_testing_fail_nth"), 1u);
    EXPECT_EQ(production, contract);
}

TEST(ModuleSymbols, FindsTheVirtualSensorWithoutAnEnvironment)
{
    // The build-tree module carries $ORIGIN as its run path; the installed one the driver directory.
    FILE *pipe = popen((std::string("readelf -d ") + KELVRA_MODULE_PATH).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string dynamic;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr)
        dynamic += line;
    pclose(pipe);
    EXPECT_NE(dynamic.find("libKelDactylen.so"), std::string::npos);
    EXPECT_NE(dynamic.find("libbiometric.so.0"), std::string::npos);
    const auto open = dynamic.find("runpath: [");
    ASSERT_NE(open, std::string::npos) << dynamic;
    const auto begin = open + std::string("runpath: [").size();
    const std::string runpath = dynamic.substr(begin, dynamic.find(']', begin) - begin);
    std::vector<std::string> entries;
    for (gchar **part = g_strsplit(runpath.c_str(), ":", -1), **p = part; *p != nullptr; ++p) {
        if (**p != '\0')
            entries.emplace_back(*p);
        if (*(p + 1) == nullptr)
            g_strfreev(part);
    }
    EXPECT_EQ(entries, std::vector<std::string>{"$ORIGIN"}) << runpath;
}

TEST_F(LoadedModule, ConfigureFillsTheRecordThroughTheEntryPoint)
{
    auto configure = symbol<bio_driver_configure_fn>("kelvra_ops_configure");
    ASSERT_NE(configure, nullptr);
    bio_dev dev{};
    dev.device_name = const_cast<char *>("kelvra-module");
    GKeyFile *conf = g_key_file_new();
    ASSERT_EQ(configure(&dev, conf), 0);
    EXPECT_NE(dev.dev_priv, nullptr);
    EXPECT_NE(dev.ops_open, nullptr);
    EXPECT_EQ(dev.ops_capture, nullptr);
    EXPECT_EQ(dev.drv_api_version.minor, 10);
    dev.ops_free(&dev);
    EXPECT_EQ(dev.dev_priv, nullptr);
    g_key_file_free(conf);
}

// Makes sure a test that loads the module shares one host with it; an example failure is the module
// loading the production libbiometric.so.0 beside the test build, so that the test reads a journal the
// driver never writes and arms faults the driver never meets.
TEST_F(LoadedModule, SharesTheTestsOwnHostLibrary)
{
    int copies = 0;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *count) {
            const std::string path = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (path.find("/libbiometric.so") != std::string::npos)
                ++*static_cast<int *>(count);
            return 0;
        },
        &copies);
    EXPECT_EQ(copies, 1);

    auto configure = symbol<bio_driver_configure_fn>("kelvra_ops_configure");
    ASSERT_NE(configure, nullptr);
    bio_journal_clear();
    bio_dev dev{};
    dev.device_name = const_cast<char *>("kelvra-module");
    GKeyFile *conf = g_key_file_new();
    ASSERT_EQ(configure(&dev, conf), 0);
    EXPECT_EQ(bio_journal_size(), 3u) << "configure's status, result and notify went to another host";
    dev.ops_free(&dev);
    g_key_file_free(conf);
}

// Makes sure the module reads its own w, h and imgBuf; an example failure is a module linked without
// -Bsymbolic, whose presence loop would measure the host's 5 x 5 frame and never see a finger.
TEST_F(LoadedModule, HostGlobalsOfTheSameNameDoNotReachTheDriver)
{
    auto configure = symbol<bio_driver_configure_fn>("kelvra_ops_configure");
    auto presence = symbol<int (*)(bio_dev *, int, int)>("iops_finger_status_check_moc");
    ASSERT_NE(presence, nullptr);
    auto *module_w = symbol<int *>("w");
    ASSERT_NE(module_w, nullptr);
    EXPECT_NE(module_w, &w);
    EXPECT_EQ(*module_w, 96);

    kelvs_reset();
    char error[128] = {};
    ASSERT_EQ(kelvs_load_profile_data("[Sensor]\nWorkMode=chip\nCount=1\nCaptureMs=1\n", error, sizeof error), 0)
        << error;
    std::vector<unsigned char> pressed(96 * 96, 0);  // every pixel dark: the estimator reads 97.93
    kelvs_answer frame{};
    frame.has_out = 1;
    frame.image = pressed.data();
    frame.image_size = pressed.size();
    kelvs_script_always(KELVS_CaptureRawData, &frame);

    bio_dev dev{};
    dev.device_name = const_cast<char *>("kelvra-module");
    GKeyFile *conf = g_key_file_new();
    ASSERT_EQ(configure(&dev, conf), 0);
    bio_set_ops_timeout_ms(500);
    ASSERT_EQ(dev.ops_open(&dev), 0);

    EXPECT_EQ(presence(&dev, 1, 1), 0) << "the driver did not see the pressed finger";
    EXPECT_TRUE(std::all_of(imgBuf, imgBuf + sizeof imgBuf, [](unsigned char p) { return p == 0; }))
        << "the driver wrote into the host's imgBuf";
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 5);

    dev.ops_close(&dev);
    dev.ops_free(&dev);
    g_key_file_free(conf);
    kelvs_reset();
}
