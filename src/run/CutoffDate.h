// The date argument of the SEARCH BEFORE criterion.
#pragma once

#include <string>

class wxDateTime;

// "dd-Mon-yyyy" (01-Jan-2008) with the English month abbreviation whatever
// the locale; an invalid date gives "Invalid DateTime".
std::string FormatCutoffDate(const wxDateTime& date);
