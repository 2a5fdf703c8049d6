// text_pool.cpp - storage for the texts of feature records, reused from one list to the next.
//
// A search reads every stored template of a user, and each is a 163840-character text that lives until
// the list is freed. From malloc, texts of that size are mapped afresh or carved from a heap top that is
// trimmed when the list goes, so every list pays its pages again: a fault and a cleared page per 4 KiB of
// text. Large texts therefore come from blocks that the library keeps when a list is freed and hands to
// the next list; the blocks themselves are malloc'd, so no process-wide allocator setting is involved.
//
// How much stays idle follows the lists: a "round" runs from one moment no large text is in use to the
// next, and when a round ends the pool keeps the idle blocks that this round or the one before used and
// frees the others. A program that searches the same thousand templates again and again keeps their
// blocks; after one large search followed by two small ones, the memory goes back. (A large text that a
// program keeps for good stops the rounds from ending; the pool then holds no more blocks than were in
// use at once.)
#include "host_api.h"

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace {

// Smaller texts (names, short driver texts) come from malloc as they are.
constexpr size_t kPooledFrom = 64 * 1024;
// Block sizes are whole pages, so that texts of nearly the same length share blocks.
constexpr size_t kGranule = 4096;
// A block is reused for a text that needs at least 7/8 of it.
constexpr size_t kFitShift = 3;

// Blocks in use are recorded by a disguised address, so that a leak checker, which looks for pointers,
// still reports a text that nobody freed; idle blocks are plain pointers, reachable through the pool.
uintptr_t disguise(const void *block) { return ~reinterpret_cast<uintptr_t>(block); }

struct Idle {
    char *block;
    unsigned round;  // the last round that used it
};

struct Pool {
    std::mutex lock;
    std::unordered_map<uintptr_t, size_t> in_use;  // disguised block -> its size
    std::multimap<size_t, Idle> idle;              // size -> block
    size_t idle_bytes = 0;
    size_t in_use_bytes = 0;
    unsigned round = 0;
};

Pool &pool()
{
    static Pool *const instance = new Pool;  // never destroyed: texts may be freed while the process exits
    return *instance;
}

using Blocks = std::vector<std::pair<char *, size_t>>;

// Called with the lock held when the last large text in use came back: the idle blocks that neither this
// round nor the one before used are handed back to be freed.
Blocks end_round(Pool &p)
{
    Blocks unused;
    for (auto it = p.idle.begin(); it != p.idle.end();) {
        if (p.round - it->second.round >= 2) {
            unused.emplace_back(it->second.block, it->first);
            p.idle_bytes -= it->first;
            it = p.idle.erase(it);
        } else {
            ++it;
        }
    }
    ++p.round;
    return unused;
}

char *take_block(size_t needed)
{
    const size_t size = (needed + kGranule - 1) / kGranule * kGranule;
    Pool &p = pool();
    char *block = nullptr;
    size_t block_size = size;
    {
        std::lock_guard<std::mutex> held(p.lock);
        auto fit = p.idle.lower_bound(size);
        if (fit != p.idle.end() && fit->first - (fit->first >> kFitShift) <= size) {
            // The block of that size freed last: its pages are the likeliest to be in the cache still.
            fit = std::prev(p.idle.upper_bound(fit->first));
            block = fit->second.block;
            block_size = fit->first;
            p.idle.erase(fit);
            p.idle_bytes -= block_size;
        }
    }
    if (block == nullptr) {
        block = static_cast<char *>(std::malloc(size));
        if (block == nullptr)
            return nullptr;
    }
    // A read past the text's NUL is caught by AddressSanitizer as it would be in a block of its own size.
    ASAN_UNPOISON_MEMORY_REGION(block, needed);
    ASAN_POISON_MEMORY_REGION(block + needed, block_size - needed);
    std::lock_guard<std::mutex> held(p.lock);
    p.in_use.emplace(disguise(block), block_size);
    p.in_use_bytes += block_size;
    return block;
}

}  // namespace

char *bio_host::new_text(size_t length)
{
    if (fault_fires(BIO_FAULT_NEW_TEXT)) {
        bio_print_error("host: out of memory copying a text: injected fault\n");
        return nullptr;
    }
    const size_t needed = length + 1;
    char *text = needed < kPooledFrom ? static_cast<char *>(std::malloc(needed)) : take_block(needed);
    if (text == nullptr) {
        bio_print_error("host: out of memory copying a text of %zu bytes\n", length);
        return nullptr;
    }
    text[length] = '\0';
    return text;
}

void bio_host::free_text(char *text)
{
    if (text == nullptr)
        return;
    Pool &p = pool();
    size_t size = 0;
    {
        std::lock_guard<std::mutex> held(p.lock);
        const auto found = p.in_use.find(disguise(text));
        if (found != p.in_use.end()) {
            size = found->second;
            p.in_use.erase(found);
            p.in_use_bytes -= size;
        }
    }
    if (size == 0) {
        // Not one of the pool's blocks: a small text, or any text from malloc.
        std::free(text);
        return;
    }
    // A use after free is caught while the block is idle; poisoned before another thread can take it.
    ASAN_POISON_MEMORY_REGION(text, size);
    Blocks unused;
    {
        std::lock_guard<std::mutex> held(p.lock);
        p.idle.emplace(size, Idle{text, p.round});
        p.idle_bytes += size;
        if (p.in_use_bytes == 0)
            unused = end_round(p);
    }
    for (const auto &[block, block_size] : unused) {
        ASAN_UNPOISON_MEMORY_REGION(block, block_size);
        std::free(block);
    }
}

size_t bio_host::idle_text_bytes()
{
    Pool &p = pool();
    std::lock_guard<std::mutex> held(p.lock);
    return p.idle_bytes;
}
