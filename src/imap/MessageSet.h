// Turns message numbers into IMAP sequence sets that name exactly those messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Sorts and de-duplicates the numbers, writes each run of consecutive numbers
// as first:last (a lone n as n:n) and joins the runs with ','. Sets longer than
// maxSetLength are split at a run boundary into several sets, in order.
std::vector<std::string> FormatMessageSets(std::vector<uint32_t> numbers, size_t maxSetLength);

// Number of distinct values.
size_t CountDistinct(std::vector<uint32_t> numbers);
