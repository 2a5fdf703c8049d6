// i18n.h - kelvractl's own texts: the text domain "kelvractl", translated where they are shown.
#ifndef KELVRACTL_I18N_H
#define KELVRACTL_I18N_H

#include <string>

namespace kelvractl {

inline constexpr char kTextDomain[] = "kelvractl";

// Marks a text for the catalogue where it is defined (the command table); tr() translates it where
// it is shown.
#define N_(text) text

// The translation of msgid in kelvractl's text domain, or msgid itself.
const char *tr(const char *msgid) __attribute__((format_arg(1)));
// The singular or plural translation for n.
const char *tr_n(const char *singular, const char *plural, unsigned long n) __attribute__((format_arg(1)))
__attribute__((format_arg(2)));
// printf into a string. Its format is a tr() of an English text, so the compiler checks the
// arguments against that text, and msgfmt --check-format the translation against it.
std::string strf(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kelvractl

#endif
