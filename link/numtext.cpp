#include "numtext.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#if defined(__unix__) || defined(__APPLE__)
#include <locale.h>
#define NUMTEXT_HAVE_USELOCALE 1
#elif defined(_WIN32)
#include <clocale>
#include <cstring>
#include <locale.h>
#endif

namespace {

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// For a decimal number text that std::from_chars found out of range: does it overflow (true)
// or underflow (false)? Estimates the decimal exponent of its first significant digit.
bool DecimalTextOverflows(std::string_view t) {
    std::size_t i = 0;
    long long intDigits = 0;    // significant digits before the point
    long long leadingZeros = 0; // zeros after the point before the first significant digit
    bool seenSignificant = false;
    while (i < t.size() && IsDigit(t[i])) {
        if (t[i] != '0' || seenSignificant) {
            seenSignificant = true;
            ++intDigits;
        }
        ++i;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && IsDigit(t[i])) {
            if (!seenSignificant && t[i] == '0') {
                ++leadingZeros;
            } else {
                seenSignificant = true;
            }
            ++i;
        }
    }
    long long exponent = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
            negative = t[i] == '-';
            ++i;
        }
        while (i < t.size() && IsDigit(t[i])) {
            if (exponent < 100000000) {
                exponent = exponent * 10 + (t[i] - '0');
            }
            ++i;
        }
        if (negative) {
            exponent = -exponent;
        }
    }
    const long long magnitude = intDigits > 0 ? intDigits + exponent : exponent - leadingZeros;
    return magnitude > 0;
}

#ifdef NUMTEXT_HAVE_USELOCALE
// Switches the calling thread to the "C" locale for the lifetime of the object.
class CLocaleScope {
public:
    CLocaleScope() {
        static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (cLocale != static_cast<locale_t>(0)) {
            m_previous = uselocale(cLocale);
        }
    }
    ~CLocaleScope() {
        if (m_previous != static_cast<locale_t>(0)) {
            uselocale(m_previous);
        }
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t m_previous = static_cast<locale_t>(0);
};
#elif defined(_WIN32)
// Switches the C runtime's numeric locale to "C" for the lifetime of the object, for the calling
// thread only where the runtime supports per-thread locales (a program that is not the console
// may have set one with a decimal comma).
class CLocaleScope {
public:
    CLocaleScope() {
        m_mode = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
        const char* current = std::setlocale(LC_NUMERIC, nullptr);
        if (current && std::strcmp(current, "C") != 0) {
            m_previous = current;
            std::setlocale(LC_NUMERIC, "C");
        }
    }
    ~CLocaleScope() {
        if (!m_previous.empty()) {
            std::setlocale(LC_NUMERIC, m_previous.c_str());
        }
        if (m_mode == _ENABLE_PER_THREAD_LOCALE || m_mode == _DISABLE_PER_THREAD_LOCALE) {
            _configthreadlocale(m_mode);
        }
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    int m_mode = 0;
    std::string m_previous;
};
#else
struct CLocaleScope {};
#endif

int VFormat(char* buf, std::size_t size, const char* fmt, va_list args) {
    [[maybe_unused]] CLocaleScope scope;
    return std::vsnprintf(buf, size, fmt, args);
}

} // namespace

namespace {

// The leading number of a text as atof reads it; *end receives the index just past it and
// *found whether there was one (both untouched where the caller passes null).
double LeadingNumber(std::string_view text, std::size_t* end, bool* found) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // from_chars takes no sign of its own and, in the general format, no hexadecimal prefix,
    // so "0x10" stops after the "0".
    if (i < text.size() && text[i] == '-') {
        return 0.0; // "--5": no number
    }
    const char* first = text.data() + i;
    const char* last = text.data() + text.size();
    double value = 0.0;
    const auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec == std::errc::invalid_argument) {
        return 0.0;
    }
    if (result.ec == std::errc::result_out_of_range) {
        const std::string_view span(first, static_cast<std::size_t>(result.ptr - first));
        value = DecimalTextOverflows(span) ? HUGE_VAL : 0.0;
    }
    if (end) {
        *end = static_cast<std::size_t>(result.ptr - text.data());
    }
    if (found) {
        *found = true;
    }
    return negative ? -value : value;
}

} // namespace

double NumTextToDouble(std::string_view text) {
    return LeadingNumber(text, nullptr, nullptr);
}

std::string NumTextShortest(double value) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (r.ec != std::errc()) {
        r = std::to_chars(buf, buf + sizeof buf, value);
    }
    return std::string(buf, r.ptr);
}

bool NumTextSameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    auto low = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (low(a[i]) != low(b[i])) {
            return false;
        }
    }
    return true;
}

const NumUnit NUM_UNITS_FREQ_MHZ[4] = {{"Hz", 1e-6}, {"kHz", 1e-3}, {"MHz", 1.0}, {"GHz", 1e3}};
const NumUnit NUM_UNITS_FREQ_HZ[4] = {{"Hz", 1.0}, {"kHz", 1e3}, {"MHz", 1e6}, {"GHz", 1e9}};

NumUnitValue NumTextWithUnit(std::string_view text, const NumUnit* units, std::size_t count) {
    NumUnitValue r;
    std::size_t end = 0;
    r.value = LeadingNumber(text, &end, &r.number);
    if (!r.number) {
        return r;
    }
    std::string_view rest = text.substr(end);
    while (!rest.empty() && IsCSpace(rest.front())) {
        rest.remove_prefix(1);
    }
    while (!rest.empty() && IsCSpace(rest.back())) {
        rest.remove_suffix(1);
    }
    if (rest.empty()) {
        r.exact = true;
        return r;
    }
    for (std::size_t i = 0; units && i < count; ++i) {
        if (NumTextSameNoCase(rest, units[i].name)) {
            r.value *= units[i].factor;
            r.unit = true;
            r.exact = true;
            break;
        }
    }
    return r;
}

int NumTextToInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    while (i < text.size() && IsDigit(text[i])) {
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (text[i] - '0');
        }
        ++i;
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

int NumFormat(char* buf, std::size_t size, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int n = VFormat(buf, size, fmt, args);
    va_end(args);
    return n;
}

std::string NumVFormatString(const char* fmt, va_list args) {
    char small[256];
    va_list copy;
    va_copy(copy, args);
    const int n = VFormat(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) {
        return std::string();
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        return std::string(small, static_cast<std::size_t>(n));
    }
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    VFormat(out.data(), out.size(), fmt, args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string NumFormatString(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = NumVFormatString(fmt, args);
    va_end(args);
    return out;
}
