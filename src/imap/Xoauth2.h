// The SASL XOAUTH2 exchange: the client's one response, and what the server's
// challenge says when it refuses the token.
#pragma once

#include <string>
#include <string_view>

// Base64 of "user=" account "\x01auth=Bearer " token "\x01\x01".
std::string Xoauth2Response(const std::string& account, const std::string& token);

// The reason for a refusal challenge, base64 of a JSON object such as
// {"status":"401","schemes":"bearer"}: "token refused (401)", or "token
// refused" when it says no status.
std::string Xoauth2Refusal(std::string_view challenge);
