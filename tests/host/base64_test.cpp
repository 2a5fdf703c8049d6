// base64_test.cpp - the host's base64 against RFC 4648 and around the edges of the output buffer.
#include "bio_host.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        "Zh==", "Zi==", "Zk==", "Zo==",  // one of the four bits that two padding characters drop is set
        "ZmB=", "ZmC=",                  // one of the two bits that one padding character drops is set
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

// Makes sure the alphabet check, which judges 64 bytes at a time and the rest one by one, refuses a bad
// byte wherever it sits and accepts every alphabet character there; an example failure is a range test
// that lets a letter with its top bit set through, or a block that is never looked at.
TEST(Base64, BadByteAnywhereIsRefusedWithoutWriting)
{
    // 300 bytes: 400 characters, six whole 64-character blocks, twelve more before the last group of four.
    const auto bytes = random_bytes(300, 11);
    const std::string text = encode(bytes);
    ASSERT_EQ(text.size(), 400u);
    const struct {
        const char *where;
        size_t at;
    } positions[] = {
        {"first", 0},           {"end of a vector", 31},      {"start of a vector", 32},
        {"end of a block", 63}, {"middle", 200},              {"end of the last block", 383},
        {"after the blocks", 384}, {"before the last group", 395}, {"last group", 396},
        {"last group", 397},    {"last group", 398},          {"last", 399},
    };
    // Neighbours of each alphabet range, the bytes that fold onto it when bit 5 is set or the top bit is
    // set, padding, and bytes a range test with a wrong sign would take.
    const unsigned char bad[] = {'@', '[', '`', '{', '*', ',', '-', '.', ':', '=', ' ', '\x7f', 0x80,
                                 0xab, 0xb0, 0xc1, 0xda, 0xe1, 0xfa, 0xff, 0x01};
    const char good[] = {'A', 'Z', 'a', 'z', '0', '9', '+', '/'};
    for (const auto &position : positions) {
        for (unsigned char b : bad) {
            SCOPED_TRACE(std::string(position.where) + " " + std::to_string(position.at) + ", byte " + std::to_string(b));
            std::string damaged = text;
            damaged[position.at] = static_cast<char>(b);
            EXPECT_EQ(bio_base64_decoded_length(damaged.c_str()), -1);
            std::vector<unsigned char> out(304, kGuard);
            EXPECT_EQ(bio_base64_decode(damaged.c_str(), out.data()), -1);
            EXPECT_EQ(std::count(out.begin(), out.end(), kGuard), 304) << "refused text wrote into the output";
        }
        if (position.at >= 396)
            continue;  // the last group's free bits must stay zero, so not every character fits there
        for (char c : good) {
            std::string changed = text;
            changed[position.at] = c;
            std::vector<unsigned char> out(304);
            EXPECT_EQ(bio_base64_decode(changed.c_str(), out.data()), 300) << position.at << " " << c;
        }
    }
    // Padding where it does not belong: in the body, or before the data of the last group.
    const std::string padded = encode(random_bytes(301, 12));  // ends in "=="
    ASSERT_EQ(padded.substr(padded.size() - 2), "==");
    for (size_t at : {size_t{0}, size_t{100}, padded.size() - 5, padded.size() - 4, padded.size() - 3}) {
        std::string damaged = padded;
        damaged[at] = '=';
        std::vector<unsigned char> out(304, kGuard);
        EXPECT_EQ(bio_base64_decode(damaged.c_str(), out.data()), -1) << at;
        EXPECT_EQ(std::count(out.begin(), out.end(), kGuard), 304) << at;
    }
}

}  // namespace
