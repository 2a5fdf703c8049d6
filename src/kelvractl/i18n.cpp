// i18n.cpp - looks kelvractl's texts up in its own catalogue.
#include "i18n.h"

#include <libintl.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kelvractl {

const char *tr(const char *msgid) { return dgettext(kTextDomain, msgid); }

const char *tr_n(const char *singular, const char *plural, unsigned long n)
{
    return dngettext(kTextDomain, singular, plural, n);
}

std::string strf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        out.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return out;
}

}  // namespace kelvractl
