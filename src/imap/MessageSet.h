// Turns message numbers into IMAP sequence sets that name exactly those messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The numbers sorted, without duplicates.
std::vector<uint32_t> SortedDistinct(std::vector<uint32_t> numbers);

// Writes each run of consecutive numbers of sorted (sorted, distinct) as
// first:last (a lone n as n:n) and joins the runs with ','. Sets longer than
// maxSetLength are split at a run boundary into several sets, in order; ends,
// when given, receives for each set the index in sorted after its last number.
std::vector<std::string> FormatMessageSets(const std::vector<uint32_t>& sorted, size_t maxSetLength,
                                           std::vector<size_t>* ends = nullptr);
