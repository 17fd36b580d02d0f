// One base64 digit's value, shared by MIME's encoded words and IMAP's
// modified UTF-7 (which writes ',' for '/').
#pragma once

// 0 ... 63, or -1 for what is no digit; last is the 64th digit.
inline int Base64Digit(char c, char last = '/') {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    return c == last ? 63 : -1;
}
