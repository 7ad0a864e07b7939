// Locale-independent number text conversion and formatting.
//
// Qt sets the process locale from the environment, so the C library's strtod, atof and printf
// would read and write "10,5" in a German locale. Everything that turns module replies, setup
// values or operator entries into numbers, or numbers into command texts, goes through these
// helpers instead: the decimal point is always ".".
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

// Converts the leading part of a text the way the C library's atof does for decimal input:
// leading white space is skipped, then an optional sign, digits with an optional "." and an
// optional exponent are taken; conversion stops at the first character that does not fit and a
// text without a number gives 0. "12.5MHz" gives 12.5, "abc" 0. "inf", "infinity" and "nan" are
// read as the C library reads them (callers refuse them where they matter). Hexadecimal forms
// are not recognised: "0x10" gives 0.
double NumTextToDouble(std::string_view text);

// Converts the leading part of a text the way the C library's atoi does: white space, an
// optional sign, decimal digits. Values beyond the range of int saturate at INT_MIN/INT_MAX
// instead of being undefined.
int NumTextToInt(std::string_view text);

// snprintf under the "C" numeric locale. Returns what snprintf returns.
int NumFormat(char* buf, std::size_t size, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// The same, into a std::string.
std::string NumFormatString(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The same, from a va_list (which it consumes).
std::string NumVFormatString(const char* fmt, va_list args);

// The shortest text that reads back as the same double, "." as the decimal point: fixed
// notation ("60000000" rather than "6e+07"), the general form only for values whose fixed text
// would pass 400 characters.
std::string NumTextShortest(double value);

// True when a and b are the same text without regard to the case of ASCII letters.
bool NumTextSameNoCase(std::string_view a, std::string_view b);

// A unit that may follow a number, and the factor that brings a value in it to the caller's
// base unit ("kHz", 1e-3 for a base of MHz). Names are compared without regard to case.
struct NumUnit {
    std::string_view name;
    double factor;
};

// Frequency units with factors to MHz and to Hz: Hz, kHz, MHz, GHz.
extern const NumUnit NUM_UNITS_FREQ_MHZ[4];
extern const NumUnit NUM_UNITS_FREQ_HZ[4];

// The result of NumTextWithUnit.
struct NumUnitValue {
    double value = 0;    // the number, times the unit's factor when a unit was found
    bool number = false; // a number stood at the start (after white space)
    bool unit = false;   // one of the units followed it (after optional white space)
    bool exact = false;  // the whole text was the number, the optional unit and white space
};

// Reads a number with an optional unit: the leading number as NumTextToDouble reads it, then
// optional white space, then one of units (any case), then nothing but white space. When the
// rest is not exactly a unit, value is the number alone and unit is false (so "12.5MHz" and
// "12.5" give 12.5 in a base of MHz, "30kHz" 0.03, "30 khz" 0.03, "12x" 12 with exact false).
NumUnitValue NumTextWithUnit(std::string_view text, const NumUnit* units, std::size_t count);
