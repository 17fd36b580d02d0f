// Header fields as a person reads them: the fields of a header block, folded
// lines joined, and RFC 2047 encoded words (=?charset?B?...?= and
// =?charset?Q?...?=) decoded to UTF-8.
#pragma once

#include <map>
#include <string>
#include <string_view>

// The fields of a header block as BODY[HEADER.FIELDS (...)] returns it: the
// name in upper case -> the value unfolded (CR LF + blank joined into the
// blank), leading and trailing blanks removed. A field given twice keeps the
// first. Lines that are no field are passed over.
std::map<std::string, std::string> ParseHeaderFields(std::string_view block);

// value as UTF-8: encoded words decoded (UTF-8, US-ASCII, ISO-8859-*, the
// Windows-125x code pages and whatever else the system's converters know;
// one that cannot be decoded stays as written), blanks between two adjacent
// encoded words dropped as RFC 2047 says, bytes outside encoded words taken
// as UTF-8 or, failing that, Latin-1; control characters other than TAB
// written as \xNN. Never longer than a few KiB: the rest is cut with "...".
std::string DecodeHeaderValue(std::string_view value);
