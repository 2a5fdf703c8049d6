// trace_command_test.cpp - kelvractl trace show|redact: what it prints, its exit statuses, and that
// redact never writes over a file and leaves a private copy without fingerprints.
#include "args.h"
#include "trace_commands.h"
#include "trace_support.h"

#include <gtest/gtest.h>

#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace {

using namespace trace_test;

struct Ran {
    int status;
    std::string out;
    std::string err;
};

Ran run(const std::vector<std::string> &words)
{
    char *out_text = nullptr, *err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE *out = open_memstream(&out_text, &out_size);
    std::FILE *err = open_memstream(&err_text, &err_size);
    const int status = kelvractl::trace_command(words, out, err);
    std::fclose(out);
    std::fclose(err);
    Ran r{status, out_text, err_text};
    std::free(out_text);
    std::free(err_text);
    return r;
}

std::size_t lines(const std::string &text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

class TraceCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_trace(good_, sample_session());
        const auto bytes = read_file(good_);
        const auto f = frames(bytes);
        // Unfinished: without the end mark. Damaged: the fourth call's checksum broken.
        std::FILE *file = std::fopen(unfinished_.c_str(), "wb");
        std::fwrite(bytes.data(), 1, f.back().offset, file);
        std::fclose(file);
        auto damaged = bytes;
        damaged[f[6].offset + 5] ^= 1;
        file = std::fopen(damaged_.c_str(), "wb");
        std::fwrite(damaged.data(), 1, damaged.size(), file);
        std::fclose(file);
    }

    ScratchDir dir_;
    const std::string good_ = dir_.path("good.trace");
    const std::string unfinished_ = dir_.path("unfinished.trace");
    const std::string damaged_ = dir_.path("damaged.trace");
};

TEST_F(TraceCommand, ShowPrintsAHeaderLineAndALinePerEntryOrSaysWhereTheFileIsDamaged)
{
    const std::size_t entries = sample_session().size();
    struct Case {
        std::string file;
        int status;
        std::size_t lines;
        const char *in_header;
        const char *error;
    };
    const Case cases[] = {
        {good_, 0, 1 + entries, "; 6 calls; finished", ""},
        {unfinished_, 0, 1 + entries, "unfinished: no end mark", ""},
        {damaged_, 3, 1 + 4, "; 3 calls; damaged", "is damaged after the lines above: entry 5 at byte"},
        {dir_.path("missing.trace"), 3, 0, "", "cannot read the trace: "},
    };
    for (const Case &c : cases) {
        const Ran r = run({"show", c.file});
        EXPECT_EQ(r.status, c.status) << c.file << r.err;
        EXPECT_EQ(lines(r.out), c.lines) << r.out;
        EXPECT_NE(r.out.substr(0, r.out.find('\n')).find(c.in_header), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_EQ(r.err.empty(), c.error[0] == '\0') << r.err;
    }
    const Ran shown = run({"show", good_});
    EXPECT_NE(shown.out.find("\n2 t2 +1.234567 KELFPSCAN_CaptureRawData(handle=#1, mode=0) = 0 -> image=<9216 bytes "),
              std::string::npos)
        << shown.out;
}

TEST_F(TraceCommand, RedactWritesAPrivateCopyWithoutFingerprintsAndNeverOverAFile)
{
    const std::string copy = dir_.path("shared.trace");
    Ran r = run({"redact", good_, copy});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    r = run({"show", copy});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("; redacted"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("image=<9216 bytes redacted>"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("enroll"), std::string::npos) << "a section's content survived:\n" << r.out;

    const auto before = read_file(good_);
    r = run({"redact", damaged_, good_});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("never writes over a file"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(good_), before);

    const std::string not_written = dir_.path("not-written.trace");
    r = run({"redact", damaged_, not_written});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(stat(not_written.c_str(), &st), 0) << "a copy of a damaged trace was left behind";
}

// A PNG file's grey pixels, as a viewer would read them.
std::vector<std::uint8_t> png_pixels(const std::string &path, std::uint32_t &width, std::uint32_t &height)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0)
        return {};
    image.format = PNG_FORMAT_GRAY;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0)
        return {};
    width = image.width;
    height = image.height;
    return pixels;
}

// Example failure: a frame written with the wrong shape, its grade taken from another frame, or a
// redacted trace answered with an empty folder.
TEST_F(TraceCommand, FramesWritesEveryFrameAsAPngWithOneTable)
{
    using V = kt::Value;
    const std::vector<std::uint8_t> wide = noise(4 * 3, 1);  // the sensor's 4 x 3 image
    const std::vector<std::uint8_t> square = noise(9, 2);    // a 3 x 3 presence frame
    auto at = [](kt::Call c, std::int64_t ms) {
        c.start_ns = ms * 1000000;
        c.end_ns = c.start_ns + 1000;
        return c;
    };
    const std::vector<kt::Entry> session = {
        at(call(kt::Function::GetImageInfo, {V::of_handle(1)}, {V::of_integer(4), V::of_integer(3), V::of_integer(508)}), 1),
        at(call(kt::Function::CaptureRawData, {V::of_handle(1), V::of_integer(0)}, {V::of_bytes(wide)}), 250),
        at(call(kt::Function::ImgQuality, {V::of_integer(4), V::of_integer(3), V::of_bytes(wide)}, {V::of_integer(77)}), 260),
        at(call(kt::Function::CaptureRawData, {V::of_handle(1), V::of_integer(0)}, {V::of_unchanged()}, -3), 300),
        at(call(kt::Function::CaptureRawData, {V::of_handle(1), V::of_integer(0)}, {V::of_bytes(square)}), 1500),
        at(call(kt::Function::ImgQuality, {V::of_integer(4), V::of_integer(3), V::of_bytes(wide)}, {V::of_integer(5)}), 1510),
    };
    const std::string trace = dir_.path("frames.trace");
    write_trace(trace, session);
    const std::string folder = dir_.path("frames");
    Ran r = run({"frames", trace, folder});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Wrote 2 frames of " + trace + " into " + folder + ", with the table " + folder + "/frames.tsv.\n");
    EXPECT_EQ(r.err, "");
    struct stat st{};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "fingerprint images";
    const auto table = read_file(folder + "/frames.tsv");
    EXPECT_EQ(std::string(table.begin(), table.end()),
              "frame\tcall\ttime_s\twidth\theight\tscore\tfile\n"
              "1\t2\t0.250000\t4\t3\t77\tframe-0001-call-2.png\n"
              "2\t5\t1.500000\t3\t3\t-\tframe-0002-call-5.png\n");
    for (const auto &[file, pixels, w, h] : {std::tuple{"frame-0001-call-2.png", wide, 4u, 3u},
                                           std::tuple{"frame-0002-call-5.png", square, 3u, 3u}}) {
        std::uint32_t width = 0, height = 0;
        EXPECT_EQ(png_pixels(folder + "/" + file, width, height), pixels) << file;
        EXPECT_EQ(width, w);
        EXPECT_EQ(height, h);
    }

    r = run({"frames", trace, folder});
    EXPECT_EQ(r.status, 2) << "never into a folder that exists";
    EXPECT_EQ(r.err, "kelvractl: " + folder + " exists; trace frames writes into a folder of its own\n");

    const std::string redacted = dir_.path("redacted.trace");
    ASSERT_EQ(run({"redact", trace, redacted}).status, 0);
    r = run({"frames", redacted, dir_.path("none")});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "kelvractl: " + redacted + " is redacted: it holds no frames\n");
    EXPECT_NE(stat(dir_.path("none").c_str(), &st), 0) << "nothing made";
}

TEST(TraceCommandLine, OnlyShowWithOneFileAndRedactWithTwoParse)
{
    struct Case {
        std::vector<std::string_view> args;
        bool ok;
    };
    const Case cases[] = {
        {{"trace", "show", "a"}, true},      {{"trace", "redact", "a", "b"}, true},
        {{"trace"}, false},                  {{"trace", "show"}, false},
        {{"trace", "show", "a", "b"}, false}, {{"trace", "redact", "a"}, false},
        {{"trace", "copy", "a", "b"}, false}, {{"trace", "show", ""}, false},
        {{"trace", "frames", "a", "d"}, true}, {{"trace", "frames", "a"}, false},
    };
    for (const Case &c : cases) {
        const auto r = kelvractl::parse_args(c.args);
        EXPECT_EQ(r.ok, c.ok) << c.args.size() << " words: " << r.error;
        if (r.ok) {
            EXPECT_EQ(r.options.trace_words.size(), c.args.size() - 1);
        }
    }
    const auto help = kelvractl::parse_args(std::vector<std::string_view>{"trace", "show", "a", "--help"});
    ASSERT_TRUE(help.ok);
    EXPECT_TRUE(help.options.trace_words.empty());
}

}  // namespace
