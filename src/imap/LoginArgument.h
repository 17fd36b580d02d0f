// How LOGIN's account and password travel on the wire.
#pragma once

#include <string>
#include <string_view>

enum class ArgumentForm {
    Atom,     // letters, digits, '@', '.', '_', '-': sent as it is
    Quoted,   // other 7-bit text: "..." with '\' and '"' escaped
    Literal,  // 8-bit bytes: {n} CR LF, then the bytes once the server says "+"
    Refused,  // CR, LF or NUL can't be sent in any form
};

ArgumentForm ClassifyArgument(std::string_view text);

// Wire form of an Atom or Quoted argument.
std::string QuoteArgument(std::string_view text);
