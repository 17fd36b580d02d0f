#include "imap/LoginArgument.h"

ArgumentForm ClassifyArgument(std::string_view text) {
    bool atom = !text.empty();
    bool eightBit = false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r' || c == '\n' || c == '\0')
            return ArgumentForm::Refused;
        if (c >= 0x80)
            eightBit = true;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '@' || c == '.' || c == '_' || c == '-';
        if (!plain)
            atom = false;
    }
    if (eightBit)
        return ArgumentForm::Literal;
    return atom ? ArgumentForm::Atom : ArgumentForm::Quoted;
}

std::string QuoteArgument(std::string_view text) {
    if (ClassifyArgument(text) == ArgumentForm::Atom)
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}
