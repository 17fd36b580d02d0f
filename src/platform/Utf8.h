// Bytes from files, forms and servers are UTF-8 or, failing that, Latin-1.
#pragma once

#include <string>
#include <string_view>

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view bytes);

// bytes as UTF-8: unchanged when valid UTF-8, otherwise read as Latin-1.
std::string ToUtf8(std::string_view bytes);

// Latin-1 bytes as UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);
