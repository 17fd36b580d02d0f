#include "imap/MessageSet.h"

#include <algorithm>

std::vector<uint32_t> SortedDistinct(std::vector<uint32_t> numbers) {
    if (!std::is_sorted(numbers.begin(), numbers.end()))  // servers mostly answer in order
        std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

std::vector<std::string> FormatMessageSets(const std::vector<uint32_t>& numbers,
                                           size_t maxSetLength, std::vector<size_t>* ends) {
    std::vector<std::string> sets;
    std::string current;
    if (ends)
        ends->clear();
    size_t i = 0;
    while (i < numbers.size()) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        const std::string run = std::to_string(numbers[i]) + ':' + std::to_string(numbers[j]);
        if (!current.empty() && current.size() + 1 + run.size() > maxSetLength) {
            sets.push_back(std::move(current));
            if (ends)
                ends->push_back(i);
            current.clear();
        }
        if (!current.empty())
            current += ',';
        current += run;
        i = j + 1;
    }
    if (!current.empty()) {
        sets.push_back(std::move(current));
        if (ends)
            ends->push_back(numbers.size());
    }
    return sets;
}
