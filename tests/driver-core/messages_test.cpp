// messages_test.cpp - the texts the host obtains for the driver's notify ids, in English and Chinese.
#include <gtest/gtest.h>
#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "harness.h"
#include "kelvra_internal.h"

using kelvra_test::Device;

namespace {

const char *text_for(Device &d, int mid)
{
    bio_set_notify_abs_mid(d.dev(), mid);
    return kelvra_ops_get_notify_mid_mesg(d.dev());
}

// Switches the process to the Chinese catalogue of the build tree for one test.
class ChineseLocale {
public:
    ChineseLocale()
    {
        bindtextdomain(KELVRA_TEXT_DOMAIN, KELVRA_TEST_LOCALE_DIR);
        ok_ = std::setlocale(LC_ALL, "zh_CN.UTF-8") != nullptr;
    }
    ~ChineseLocale()
    {
        std::setlocale(LC_ALL, "C");
        bindtextdomain(KELVRA_TEXT_DOMAIN, KELVRA_LOCALEDIR_FOR_TESTS);
    }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// Switches the process to an English session (LANGUAGE=en) on the build tree's catalogues for one test.
class EnglishSession {
public:
    EnglishSession()
    {
        const char *language = std::getenv("LANGUAGE");
        saved_ = language != nullptr ? language : "";
        had_ = language != nullptr;
        setenv("LANGUAGE", "en", 1);
        bindtextdomain(KELVRA_TEXT_DOMAIN, KELVRA_TEST_LOCALE_DIR);
        ok_ = std::setlocale(LC_ALL, "C.UTF-8") != nullptr;
    }
    ~EnglishSession()
    {
        std::setlocale(LC_ALL, "C");
        bindtextdomain(KELVRA_TEXT_DOMAIN, KELVRA_LOCALEDIR_FOR_TESTS);
        if (had_)
            setenv("LANGUAGE", saved_.c_str(), 1);
        else
            unsetenv("LANGUAGE");
    }
    bool ok() const { return ok_; }

private:
    std::string saved_;
    bool had_;
    bool ok_;
};

}  // namespace

TEST(Messages, ExtendedMessageIsExtraInfoAsWritten)
{
    Device d;
    std::strcpy(d.priv()->extra_info, "当前手指已注册，请更换手指并按压！\n");
    const char *text = text_for(d, MID_EXTENDED_MESSAGE);
    EXPECT_EQ(text, d.priv()->extra_info) << "points into the record";
    EXPECT_STREQ(text, "当前手指已注册，请更换手指并按压！\n");
    // The host asks the driver for the text of its own ids.
    EXPECT_STREQ(bio_get_notify_mid_mesg(d.dev()), "当前手指已注册，请更换手指并按压！\n");
}

TEST(Messages, PromptsInEnglishWithoutACatalogue)
{
    Device d;
    EXPECT_STREQ(text_for(d, MID_NEED_PRESS), "Please press your finger");
    EXPECT_STREQ(text_for(d, MID_NEED_LIFT), "Please lift your finger");
    EXPECT_STREQ(text_for(d, MID_GEN_TEMPLATE), "Generating fingerprint characteristic data. Please wait...");
    EXPECT_STREQ(text_for(d, MID_IDENTIFY), "Identifying fingerprint, please wait...");
}

TEST(Messages, NoTextForIdsThatAreNotTheDrivers)
{
    Device d;
    for (int mid : {0, 8, 14, 200})
        EXPECT_EQ(text_for(d, mid), nullptr) << mid;
    EXPECT_EQ(kelvra_ops_get_dev_status_mesg(d.dev()), nullptr);
    EXPECT_EQ(kelvra_ops_get_ops_result_mesg(d.dev()), nullptr);
    // The host still has a text of its own for its ids.
    bio_set_notify_mid(d.dev(), NOTIFY_COMM_TIMEOUT);
    EXPECT_NE(bio_get_notify_mid_mesg(d.dev()), nullptr);
}

// Makes sure the compiled zh_CN catalogue reaches the driver; an example failure is a catalogue
// installed under a text domain other than the one the driver binds.
TEST(Messages, ChineseCatalogueFromTheBuildTree)
{
    Device d;
    ChineseLocale chinese;
    ASSERT_TRUE(chinese.ok()) << "the zh_CN.UTF-8 locale is missing: run scripts/install-deps.sh";
    EXPECT_STREQ(text_for(d, MID_NEED_PRESS), "请按压手指");
    EXPECT_STREQ(text_for(d, MID_IDENTIFY), "正在识别指纹，请稍候……");
    EXPECT_STREQ(dgettext(KELVRA_TEXT_DOMAIN, "Analyze fingerprint image quality error, error code: %d"),
                 "分析指纹图像质量出错，错误码：%d");
}

// The texts the driver has only in Chinese reach an English session in English, and a Chinese one as
// written; an example failure is a Chinese text shown or logged without the catalogue lookup.
TEST(Messages, ChineseTextsAreEnglishInAnEnglishSession)
{
    struct Case {
        int open_device_rc;
        const char *english;
        const char *chinese;
    };
    for (const Case &c : {Case{0, "No device available", "无可用设备"},
                          Case{-12, "Failed to open the device, error code: -12", "打开设备失败，错误码：-12"}}) {
        for (const bool english : {true, false}) {
            Device d;
            if (c.open_device_rc == 0)
                kelvs_script_out(KELVS_GetDeviceCount, 0, 0, 0);
            else
                kelvs_script_rc(KELVS_OpenDevice, c.open_device_rc);
            std::optional<EnglishSession> session;
            std::optional<ChineseLocale> chinese;
            if (english)
                session.emplace();
            else
                chinese.emplace();
            ASSERT_TRUE(english ? session->ok() : chinese->ok()) << "locale missing: run scripts/install-deps.sh";
            const std::string expected = english ? c.english : c.chinese;
            d.clear_logs();
            EXPECT_EQ(d.open(), -1);
            EXPECT_EQ(d.priv()->extra_info, expected);
            EXPECT_EQ(d.take_errors(), std::vector<std::string>{expected + "\n"});
            if (c.open_device_rc != 0) {
                EXPECT_EQ(d.count_line(BIO_LOG_DEBUG, english ? "kelvra-test SDK initialized\n"
                                                              : "初始化kelvra-test SDK成功\n"),
                          1u);
            }
            d.close();
        }
    }
}
