// fixed_paths_test.cpp - the installed module's update script and marker file are fixed: the test seam is
// not exported, the paths are read-only constants, and no environment variable or configuration key
// moves them. The suite runs through kelvra-private-root, so the fixed paths are absent here whatever
// the machine has installed, and the installed files are never read, created or run.
#include <dlfcn.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bio_host_program.h"
#include "kelvs_control.h"

namespace fs = std::filesystem;

namespace {

constexpr char kScript[] = "/usr/share/fwupdate/updateFW.sh";
constexpr char kDriverDir[] = "/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen";

std::string run(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

TEST(FixedPaths, TestSeamIsNotExported)
{
    const std::string dynamic = run(std::string("nm -D --defined-only ") + KELVRA_MODULE_PATH);
    ASSERT_NE(dynamic.find("kelvra_ops_configure"), std::string::npos) << "nm did not read the module";
    EXPECT_EQ(dynamic.find("set_platform_for_testing"), std::string::npos);
    EXPECT_EQ(dynamic.find("platform"), std::string::npos) << dynamic;

    // The full symbol table may name it, but only as a local symbol (lower-case type letter).
    std::istringstream all(run(std::string("nm -C ") + KELVRA_MODULE_PATH));
    int seen = 0;
    for (std::string line; std::getline(all, line);) {
        if (line.find("set_platform_for_testing") == std::string::npos)
            continue;
        std::istringstream fields(line);
        std::string address;
        std::string type;
        fields >> address >> type;
        ++seen;
        EXPECT_TRUE(type.size() == 1 && std::islower(static_cast<unsigned char>(type[0]))) << line;
    }
    EXPECT_LE(seen, 1);
}

TEST(FixedPaths, PathsAreReadOnlyConstants)
{
    const std::string rodata = run(std::string("readelf -p .rodata ") + KELVRA_MODULE_PATH);
    EXPECT_NE(rodata.find(kScript), std::string::npos);
    EXPECT_NE(rodata.find(kDriverDir), std::string::npos);
    EXPECT_NE(rodata.find("KELAUTHENFILE"), std::string::npos);
    // Nothing writable holds them.
    const std::string data = run(std::string("readelf -p .data ") + KELVRA_MODULE_PATH + " 2>&1");
    EXPECT_EQ(data.find("fwupdate"), std::string::npos) << data;
    EXPECT_EQ(data.find("biometric-authentication"), std::string::npos) << data;
}

class LoadedWithHostileEnvironment : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kelvra-decoy-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        decoy_ = pattern;
        // Scripts and a driver directory wherever an environment-derived lookup might look.
        for (const fs::path &dir : {decoy_, decoy_ / "usr/share/fwupdate", decoy_ / "bin"}) {
            fs::create_directories(dir);
            const fs::path script = dir / "updateFW.sh";
            FILE *out = std::fopen(script.c_str(), "w");
            ASSERT_NE(out, nullptr);
            std::fprintf(out, "#!/bin/sh\ntouch '%s'\n", (decoy_ / "script-ran").c_str());
            std::fclose(out);
            fs::permissions(script, fs::perms::owner_all);
        }
        fs::create_directories(decoy_ / (kDriverDir + 1));  // the driver directory again, under the decoy

        for (const char *name : {"PATH", "HOME", "LD_LIBRARY_PATH", "TMPDIR", "XDG_DATA_HOME", "PREFIX", "DESTDIR",
                                 "KELVRA_MARKER_DIR", "KELVRA_UPDATE_SCRIPT", "KELVRA_DRIVER_DIR", "FWUPDATE_SCRIPT"}) {
            const char *old = getenv(name);
            saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
        }
        const std::string d = decoy_.string();
        setenv("PATH", (d + ":" + d + "/bin").c_str(), 1);
        setenv("HOME", d.c_str(), 1);
        setenv("LD_LIBRARY_PATH", d.c_str(), 1);
        setenv("TMPDIR", d.c_str(), 1);
        setenv("XDG_DATA_HOME", d.c_str(), 1);
        setenv("PREFIX", d.c_str(), 1);
        setenv("DESTDIR", d.c_str(), 1);
        setenv("KELVRA_MARKER_DIR", d.c_str(), 1);
        setenv("KELVRA_UPDATE_SCRIPT", (d + "/updateFW.sh").c_str(), 1);
        setenv("KELVRA_DRIVER_DIR", d.c_str(), 1);
        setenv("FWUPDATE_SCRIPT", (d + "/updateFW.sh").c_str(), 1);

        module_ = dlopen(KELVRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module_, nullptr) << dlerror();
        configure_ = reinterpret_cast<bio_driver_configure_fn>(dlsym(module_, "kelvra_ops_configure"));
        ASSERT_NE(configure_, nullptr);
        // A set-up step can also be looked up by its C++ name; the installed module must not offer it.
        EXPECT_EQ(dlsym(module_, "_ZN6kelvra24set_platform_for_testingERKNS_8PlatformE"), nullptr);
    }
    void TearDown() override
    {
        for (const auto &[name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        if (module_ != nullptr)
            dlclose(module_);
        kelvs_reset();
        bio_sto_set_db_path(":memory:");
        std::error_code ignored;
        fs::remove_all(decoy_, ignored);
    }

    // Configures a device with every key a redirecting driver might read, opens it once and closes it;
    // returns what the shell wrote to standard error meanwhile.
    std::string open_once(const char *profile)
    {
        kelvs_reset();
        char error[128] = {};
        EXPECT_EQ(kelvs_load_profile_data(profile, error, sizeof error), 0) << error;
        EXPECT_EQ(bio_sto_set_db_path(":memory:"), 0);
        const std::string d = decoy_.string();
        const std::string config = "[kelvra-env]\nEnable=true\nUpdateScript=" + d + "/updateFW.sh\nMarkerDir=" + d +
                                   "\nDriverDir=" + d + "\nInstallDir=" + d + "\nPrefix=" + d + "\nScript=" + d +
                                   "/updateFW.sh\nMarkerFile=" + d + "/KELAUTHENFILE\n";
        GKeyFile *conf = g_key_file_new();
        EXPECT_TRUE(g_key_file_load_from_data(conf, config.c_str(), config.size(), G_KEY_FILE_NONE, nullptr));
        bio_dev dev{};
        dev.device_name = const_cast<char *>("kelvra-env");
        std::string shell_said;
        if (configure_(&dev, conf) == 0) {
            bio_log_set_threshold(BIO_LOG_NONE);
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();  // the shell's "not found" for the absent system script
            dev.ops_open(&dev);
            dev.ops_close(&dev);
            shell_said = testing::internal::GetCapturedStderr();
            testing::internal::GetCapturedStdout();
            bio_log_set_threshold(BIO_LOG_INFO);
            dev.ops_free(&dev);
        } else {
            ADD_FAILURE() << "configure refused the device";
        }
        g_key_file_free(conf);
        return shell_said;
    }

    std::vector<std::string> files_made_in_decoy() const
    {
        std::vector<std::string> made;
        for (const auto &entry : fs::recursive_directory_iterator(decoy_))
            if (entry.is_regular_file() && entry.path().filename() != "updateFW.sh")
                made.push_back(entry.path().string());
        return made;
    }

    fs::path decoy_;
    void *module_ = nullptr;
    bio_driver_configure_fn configure_ = nullptr;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// No sensor attached: open runs the update script. Only the fixed path is run (absent in the private
// root, so the shell says it is not found), never a script the environment or the configuration
// points at.
TEST_F(LoadedWithHostileEnvironment, UpdateScriptIsNotRedirected)
{
    ASSERT_FALSE(fs::exists(kScript)) << "not run through kelvra-private-root";
    const std::string shell_said = open_once("[Sensor]\nCount=0\n");
    EXPECT_EQ(files_made_in_decoy(), std::vector<std::string>{});
    // dash: "sh: 1: PATH: not found"; bash as sh: "sh: line 1: PATH: No such file or directory".
    static const std::regex kFixedScriptNotFound(
        "sh: (line )?[0-9]+: /usr/share/fwupdate/updateFW\\.sh: (not found|No such file or directory)\n");
    EXPECT_TRUE(std::regex_match(shell_said, kFixedScriptNotFound)) << "the shell said: " << shell_said;
}

// Match-on-chip open checks the marker in the fixed driver directory: nothing is created in the decoy
// directories, and since the fixed directory does not exist in the private root, nothing is deleted on
// the sensor.
TEST_F(LoadedWithHostileEnvironment, MarkerIsNotRedirected)
{
    ASSERT_FALSE(fs::exists(kDriverDir)) << "not run through kelvra-private-root";
    open_once("[Sensor]\nWorkMode=chip\nCount=1\nCaptureMs=1\n");
    EXPECT_EQ(files_made_in_decoy(), std::vector<std::string>{});
    EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 0u);
    EXPECT_EQ(kelvs_log_count(KELVS_GetDeviceWorkMode), 1u) << "the open reached the marker check";
}

}  // namespace
