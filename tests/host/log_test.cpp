// log_test.cpp - log levels, the threshold for standard error, the listener and the feature dump.
#include "bio_host_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Line {
    bio_log_level level;
    std::string text;
};

void collect(bio_log_level level, const char *line, void *user)
{
    static_cast<std::vector<Line> *>(user)->push_back({level, line});
}

class Log : public ::testing::Test {
protected:
    void SetUp() override { bio_log_set_listener(collect, &lines_); }
    void TearDown() override
    {
        bio_log_set_listener(nullptr, nullptr);
        bio_log_set_threshold(BIO_LOG_INFO);
    }
    std::vector<Line> lines_;
};

TEST_F(Log, ThresholdFiltersStandardErrorButNotTheListener)
{
    bio_log_set_threshold(BIO_LOG_ERROR);
    testing::internal::CaptureStderr();
    bio_print_debug("debug %d\n", 1);
    bio_print_info("info %s\n", "two");
    bio_print_error("error %c\n", '3');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] error 3\n");

    ASSERT_EQ(lines_.size(), 3u);
    EXPECT_EQ(lines_[0].level, BIO_LOG_DEBUG);
    EXPECT_EQ(lines_[0].text, "debug 1\n");
    EXPECT_EQ(lines_[1].level, BIO_LOG_INFO);
    EXPECT_EQ(lines_[1].text, "info two\n");
    EXPECT_EQ(lines_[2].level, BIO_LOG_ERROR);

    bio_log_set_threshold(BIO_LOG_DEBUG);
    testing::internal::CaptureStderr();
    bio_print_debug("no newline");
    bio_print_info("%s\n", "info");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[DEBUG] no newline\n[INFO] info\n");

    bio_log_set_threshold(BIO_LOG_NONE);
    testing::internal::CaptureStderr();
    bio_print_error("silent\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(lines_.back().text, "silent\n");
}

TEST_F(Log, LongLinesAreNotCut)
{
    const std::string long_text(10000, 'y');
    bio_log_set_threshold(BIO_LOG_NONE);
    bio_print_info("%s", long_text.c_str());
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].text, long_text);
}

TEST_F(Log, FeatureDumpShowsShapeNotData)
{
    bio_log_set_threshold(BIO_LOG_NONE);
    feature_info *info = bio_sto_new_feature_info(1000, BioT_FingerPrint, "kelvra-dactylen", 3, "thumb");
    info->sample = bio_sto_new_feature_sample(1, "SECRETTEMPLATE");
    info->sample->next = bio_sto_new_feature_sample(2, "");
    info->next = bio_sto_new_feature_info(1001, BioT_FingerPrint, "kelvra-dactylen", 4, nullptr);
    print_feature_info(info);
    bio_sto_free_feature_info_list(info);

    std::string all;
    for (const Line &line : lines_) {
        EXPECT_EQ(line.level, BIO_LOG_DEBUG);
        all += line.text;
    }
    EXPECT_NE(all.find("uid 1000"), std::string::npos) << all;
    EXPECT_NE(all.find("index 3"), std::string::npos) << all;
    EXPECT_NE(all.find("thumb"), std::string::npos) << all;
    EXPECT_NE(all.find("2 sample(s)"), std::string::npos) << all;
    EXPECT_NE(all.find("14 characters"), std::string::npos) << all;
    EXPECT_NE(all.find("uid 1001"), std::string::npos) << all;
    EXPECT_EQ(all.find("SECRETTEMPLATE"), std::string::npos) << "the dump printed template data";
}

}  // namespace
