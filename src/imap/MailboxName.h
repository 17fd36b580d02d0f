// Folder names as IMAP carries them: RFC 3501's modified UTF-7 ("&AOQ-" for
// "ä", "&-" for "&") from and to UTF-8.
#pragma once

#include <string>
#include <string_view>

// utf8 (well-formed UTF-8) as IMAP names it.
std::string EncodeMailboxName(std::string_view utf8);
// A name as the server sent it, as UTF-8; false (utf8 untouched) when it is no
// modified UTF-7 (a bare "&", a base64 run that is not UTF-16, ...).
bool DecodeMailboxName(std::string_view imap, std::string& utf8);
