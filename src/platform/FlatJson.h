// The members of one JSON object whose values are strings, numbers or
// literals, as the OAuth2 token endpoint and the XOAUTH2 error challenge send
// them. Nested objects and arrays are checked and passed over.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

// name -> value: strings unescaped (\uXXXX as UTF-8), numbers and true, false,
// null as written. nullopt when text is not one JSON object, nests deeper than
// a few levels, or is larger than kMaxFlatJson bytes.
std::optional<std::map<std::string, std::string>> ParseFlatJson(std::string_view text);

inline constexpr size_t kMaxFlatJson = 64 * 1024;
