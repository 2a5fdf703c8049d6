// messages_test.cpp - the texts the host obtains for the driver's notify ids, in English and Chinese.
#include <gtest/gtest.h>
#include <libintl.h>

#include <clocale>
#include <cstring>

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
