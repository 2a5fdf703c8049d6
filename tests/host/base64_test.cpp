// base64_test.cpp - the host's base64 against RFC 4648 and around the edges of the output buffer.
#include "bio_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr unsigned char kGuard = 0xA5;

struct Vector {
    const char *plain;
    const char *encoded;
};

// RFC 4648, section 10.
constexpr Vector kRfcVectors[] = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},           {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

std::vector<unsigned char> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<unsigned char> out(n);
    for (auto &b : out)
        b = static_cast<unsigned char>(byte(gen));
    return out;
}

std::string encode(const std::vector<unsigned char> &bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\x7f');
    const int n = bio_base64_encode(bytes.data(), text.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(n, static_cast<int>(text.size() - 1));
    EXPECT_EQ(text.back(), '\0');
    text.resize(static_cast<size_t>(n > 0 ? n : 0));
    return text;
}

TEST(Base64, RfcVectorsEncode)
{
    for (const Vector &v : kRfcVectors) {
        SCOPED_TRACE(v.plain);
        const size_t len = std::strlen(v.plain);
        // Exactly the characters and the NUL are written: the byte after them keeps its guard.
        std::vector<char> out(std::strlen(v.encoded) + 2, static_cast<char>(kGuard));
        const int n = bio_base64_encode(reinterpret_cast<const unsigned char *>(v.plain), out.data(),
                                        static_cast<int>(len));
        EXPECT_EQ(n, static_cast<int>(std::strlen(v.encoded)));
        EXPECT_STREQ(out.data(), v.encoded);
        EXPECT_EQ(static_cast<unsigned char>(out[std::strlen(v.encoded) + 1]), kGuard);
    }
}

TEST(Base64, RfcVectorsDecode)
{
    for (const Vector &v : kRfcVectors) {
        SCOPED_TRACE(v.encoded);
        const size_t len = std::strlen(v.plain);
        EXPECT_EQ(bio_base64_decoded_length(v.encoded), static_cast<long>(len));
        std::vector<unsigned char> out(len + 4, kGuard);
        EXPECT_EQ(bio_base64_decode(v.encoded, out.data()), static_cast<int>(len));
        EXPECT_EQ(std::memcmp(out.data(), v.plain, len), 0);
        for (size_t i = len; i < out.size(); ++i)
            EXPECT_EQ(out[i], kGuard) << "byte " << i << " written past the decoded length";
    }
}

// A host-side template: six 20480-byte blocks, 163840 characters without padding.
TEST(Base64, TemplateRoundTrip)
{
    const auto bytes = random_bytes(122880, 7);
    const std::string text = encode(bytes);
    ASSERT_EQ(text.size(), 163840u);
    EXPECT_EQ(text.find('='), std::string::npos);
    EXPECT_EQ(bio_base64_decoded_length(text.c_str()), 122880);

    // Exactly as large as the template, so that AddressSanitizer sees any write past it.
    auto out = std::make_unique<unsigned char[]>(122880);
    ASSERT_EQ(bio_base64_decode(text.c_str(), out.get()), 122880);
    EXPECT_EQ(std::memcmp(out.get(), bytes.data(), bytes.size()), 0);
}

// Every tail length (0, 1 or 2 padding characters) and group count, into a heap buffer of exactly the
// decoded size followed by a guarded copy.
TEST(Base64, DecodeWritesExactlyTheDecodedBytes)
{
    for (size_t n = 1; n <= 40; ++n) {
        SCOPED_TRACE(n);
        const auto bytes = random_bytes(n, static_cast<unsigned>(n));
        const std::string text = encode(bytes);

        auto exact = std::make_unique<unsigned char[]>(n);
        ASSERT_EQ(bio_base64_decode(text.c_str(), exact.get()), static_cast<int>(n));
        EXPECT_EQ(std::memcmp(exact.get(), bytes.data(), n), 0);

        std::vector<unsigned char> guarded(n + 1, kGuard);
        ASSERT_EQ(bio_base64_decode(text.c_str(), guarded.data()), static_cast<int>(n));
        EXPECT_EQ(guarded[n], kGuard);
    }
}

TEST(Base64, InvalidTextIsRefusedWithoutWriting)
{
    const char *invalid[] = {
        "Zg=",        // length not a multiple of four
        "Zm9vYg",     // padding left out
        "Zm9v\n",     // white space
        "Zm 9",       // white space inside
        "Zm9!",       // character outside the alphabet
        "Zm-_",       // URL-safe alphabet
        "Z===",       // three padding characters
        "=Zg=",       // padding first
        "Zg=a",       // padding inside the last group
        "Zg==Zm9v",   // padding before the last group
        "Zh==",       // bits dropped by the padding are not zero
        "Zm9=",       // same, one padding character
        "Zm9v\xc3\xa9Zg",  // non-ASCII bytes
    };
    for (const char *text : invalid) {
        SCOPED_TRACE(text);
        EXPECT_EQ(bio_base64_decoded_length(text), -1);
        std::vector<unsigned char> out(16, kGuard);
        EXPECT_EQ(bio_base64_decode(text, out.data()), -1);
        for (unsigned char b : out)
            ASSERT_EQ(b, kGuard) << "invalid text wrote into the output";
    }
}

TEST(Base64, EmptyAndMissingArguments)
{
    unsigned char out[4] = {kGuard, kGuard, kGuard, kGuard};
    EXPECT_EQ(bio_base64_decode("", out), 0);
    EXPECT_EQ(out[0], kGuard);
    EXPECT_EQ(bio_base64_decoded_length(""), 0);

    EXPECT_EQ(bio_base64_decode(nullptr, out), -1);
    EXPECT_EQ(bio_base64_decode("Zm9v", nullptr), -1);
    EXPECT_EQ(bio_base64_decoded_length(nullptr), -1);

    char text[8];
    EXPECT_EQ(bio_base64_encode(nullptr, text, 3), -1);
    EXPECT_EQ(bio_base64_encode(out, nullptr, 3), -1);
    EXPECT_EQ(bio_base64_encode(out, text, -1), -1);
}

}  // namespace
