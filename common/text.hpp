// Text every program of the package shows the same way: numbers in
// hexadecimal, and strings that come from a device or a user.
#pragma once

#include <string>

// `value` as at least `digits` hexadecimal digits, lower case unless `upper`.
std::string hexDigits(unsigned long long value, int digits, bool upper = false);

// A string a device gave (or one meant for it, or a variable's value), as it
// may be shown to a person: C0 control bytes and DEL as \xNN with lower-case
// digits, every other byte as it is.  A device's strings are untrusted: ESC
// starts sequences that retitle or clear a terminal, and a tab or line end
// would break a listing's columns.
std::string printable(const std::string& text);
