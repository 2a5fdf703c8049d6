// log.cpp - the host's three log levels: lines go to standard error above a threshold, and to a listener.
#include "host_api.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::atomic<int> g_threshold{BIO_LOG_INFO};

std::mutex g_listener_lock;
bio_log_listener g_listener = nullptr;
void *g_listener_user = nullptr;

// One lock for standard error keeps lines of concurrent operations whole.
std::mutex g_stderr_lock;

const char *prefix(bio_log_level level)
{
    switch (level) {
    case BIO_LOG_DEBUG: return "[DEBUG] ";
    case BIO_LOG_INFO: return "[INFO] ";
    case BIO_LOG_ERROR: return "[ERROR] ";
    default: return "";
    }
}

void emit(bio_log_level level, const char *fmt, va_list args)
{
    const std::string text = bio_host::vformat(fmt, args);

    if (level >= g_threshold.load(std::memory_order_relaxed)) {
        std::string line = prefix(level) + text;
        // Drivers end most lines with "\n" themselves; a line without one still ends the line.
        if (line.empty() || line.back() != '\n')
            line.push_back('\n');
        std::lock_guard<std::mutex> lock(g_stderr_lock);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }

    bio_log_listener listener;
    void *user;
    {
        std::lock_guard<std::mutex> lock(g_listener_lock);
        listener = g_listener;
        user = g_listener_user;
    }
    // Called without the lock so that a listener may log or replace itself.
    if (listener != nullptr)
        listener(level, text.c_str(), user);
}

}  // namespace

namespace bio_host {

bool debug_lines_wanted()
{
    if (g_threshold.load(std::memory_order_relaxed) <= BIO_LOG_DEBUG)
        return true;
    std::lock_guard<std::mutex> lock(g_listener_lock);
    return g_listener != nullptr;
}

std::string vformat(const char *fmt, va_list args)
{
    if (fmt == nullptr)
        return {};
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (length <= 0)
        return {};
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    return text;
}

}  // namespace bio_host

extern "C" {

void bio_print_debug(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    emit(BIO_LOG_DEBUG, fmt, args);
    va_end(args);
}

void bio_print_info(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    emit(BIO_LOG_INFO, fmt, args);
    va_end(args);
}

void bio_print_error(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    emit(BIO_LOG_ERROR, fmt, args);
    va_end(args);
}

void bio_log_set_threshold(bio_log_level level)
{
    if (level < BIO_LOG_DEBUG || level > BIO_LOG_NONE)
        return;
    g_threshold.store(level, std::memory_order_relaxed);
}

void bio_log_set_listener(bio_log_listener listener, void *user)
{
    std::lock_guard<std::mutex> lock(g_listener_lock);
    g_listener = listener;
    g_listener_user = user;
}

}  // extern "C"
