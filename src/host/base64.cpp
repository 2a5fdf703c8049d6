// base64.cpp - standard base64 (RFC 4648, padded) for the templates drivers keep as text.
#include "host_api.h"

#include <modp_b64.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each alphabet character, -1 for every other byte.
constexpr std::array<signed char, 256> make_values()
{
    std::array<signed char, 256> values{};
    for (auto &v : values)
        v = -1;
    for (size_t i = 0; i < kAlphabet.size(); ++i)
        values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    return values;
}
constexpr std::array<signed char, 256> kValues = make_values();

int value_of(char c) { return kValues[static_cast<unsigned char>(c)]; }

// The alphabet check runs once over every stored template before it is decoded, so it is written as range
// tests on whole vectors of bytes, with one branch per block of them: a compiler turns each test into a
// couple of vector instructions, and the check runs at about the speed the text can be read.
// The helpers taking these vectors are always inlined, so no call passes one: the compilers' note about the
// ABI of such calls does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef unsigned char Bytes __attribute__((vector_size(32)));
typedef signed char SignedBytes __attribute__((vector_size(32)));
constexpr size_t kVectorBytes = sizeof(Bytes);
constexpr size_t kBlockBytes = 2 * kVectorBytes;

// All-ones in each byte that lies in [first, first + count): shifting `first` down to -128 makes the
// range one signed comparison.
inline __attribute__((always_inline)) SignedBytes in_range(Bytes c, unsigned char first, int count)
{
    return reinterpret_cast<SignedBytes>(c + static_cast<unsigned char>(128 - first)) <
           static_cast<signed char>(count - 128);
}

// All-ones in each byte that is an alphabet character. Setting bit 5 folds A-Z onto a-z and maps no other
// byte there.
inline __attribute__((always_inline)) SignedBytes in_alphabet(Bytes c)
{
    return in_range(c | 0x20, 'a', 26) | in_range(c, '0', 10) | (c == '+') | (c == '/');
}

// The whole blocks of the text; the bytes after the last whole block are left to the caller.
inline __attribute__((always_inline)) bool blocks_in_alphabet(const char *text, size_t blocks)
{
    for (size_t b = 0; b < blocks; ++b, text += kBlockBytes) {
        Bytes first;
        Bytes second;
        std::memcpy(&first, text, kVectorBytes);
        std::memcpy(&second, text + kVectorBytes, kVectorBytes);
        const SignedBytes inside = in_alphabet(first) & in_alphabet(second);
        uint64_t words[kVectorBytes / 8];
        std::memcpy(words, &inside, sizeof words);
        uint64_t all = ~uint64_t{0};
        for (uint64_t w : words)
            all &= w;
        if (all != ~uint64_t{0})
            return false;
    }
    return true;
}

bool blocks_in_alphabet_baseline(const char *text, size_t blocks) { return blocks_in_alphabet(text, blocks); }

#if defined(__x86_64__)
// The same, with 32-byte vectors in single instructions where the processor has them.
__attribute__((target("avx2"))) bool blocks_in_alphabet_avx2(const char *text, size_t blocks)
{
    return blocks_in_alphabet(text, blocks);
}
#endif

using BlockCheck = bool (*)(const char *, size_t);

BlockCheck block_check()
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2"))
        return blocks_in_alphabet_avx2;
#endif
    return blocks_in_alphabet_baseline;
}

bool all_in_alphabet(const char *text, size_t size)
{
    static const BlockCheck check_blocks = block_check();
    const size_t blocks = size / kBlockBytes;
    if (!check_blocks(text, blocks))
        return false;
    for (size_t i = blocks * kBlockBytes; i < size; ++i) {
        if (value_of(text[i]) < 0)
            return false;
    }
    return true;
}

// Bytes the text decodes to, or -1 unless it is canonical padded base64: a multiple of four alphabet
// characters, where the last group may end in "=" or "==" and the bits the padding drops are zero.
long decoded_length(std::string_view text)
{
    if (text.size() % 4 != 0)
        return -1;
    if (text.empty())
        return 0;
    const size_t body = text.size() - 4;
    if (!all_in_alphabet(text.data(), body))
        return -1;
    const std::string_view last = text.substr(body);
    if (value_of(last[0]) < 0 || value_of(last[1]) < 0)
        return -1;
    const long whole = static_cast<long>(text.size() / 4) * 3;
    if (last[2] == '=') {
        if (last[3] != '=' || (value_of(last[1]) & 0x0f) != 0)
            return -1;
        return whole - 2;
    }
    if (value_of(last[2]) < 0)
        return -1;
    if (last[3] == '=') {
        if ((value_of(last[2]) & 0x03) != 0)
            return -1;
        return whole - 1;
    }
    if (value_of(last[3]) < 0)
        return -1;
    return whole;
}

}  // namespace

extern "C" {

int bio_base64_encode(const unsigned char *in, char *out, int length)
{
    if (out == nullptr || length < 0 || (in == nullptr && length > 0))
        return -1;
    if (length == 0) {
        out[0] = '\0';
        return 0;
    }
    const size_t written = modp_b64_encode(out, reinterpret_cast<const char *>(in), static_cast<size_t>(length));
    if (written == static_cast<size_t>(-1))
        return -1;
    return static_cast<int>(std::strlen(out));
}

long bio_base64_decoded_length(const char *text)
{
    if (text == nullptr)
        return -1;
    return decoded_length(text);
}

int bio_base64_decode(const char *text, unsigned char *out)
{
    if (text == nullptr || out == nullptr)
        return -1;
    const std::string_view view(text);
    const long total = decoded_length(view);
    if (total < 0 || total > INT_MAX)
        return -1;
    if (total == 0)
        return bio_host::decode_answer(0, view.size());

    // The decoder stores four bytes for every three it decodes; the groups before the last one may do
    // so because the last group still owns at least one byte of the output, but the last group itself
    // is decoded into a scratch area and only its real bytes are copied.
    const size_t body = view.size() - 4;
    size_t done = 0;
    if (body > 0) {
        done = modp_b64_decode(reinterpret_cast<char *>(out), text, body);
        if (done != body / 4 * 3)
            return -1;
    }
    std::array<char, 8> scratch{};
    const size_t tail = modp_b64_decode(scratch.data(), text + body, 4);
    if (tail == static_cast<size_t>(-1) || done + tail != static_cast<size_t>(total))
        return -1;
    std::memcpy(out + done, scratch.data(), tail);
    return bio_host::decode_answer(static_cast<int>(total), view.size());
}

}  // extern "C"
