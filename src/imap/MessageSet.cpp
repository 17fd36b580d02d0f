#include "imap/MessageSet.h"

#include <algorithm>

std::vector<std::string> FormatMessageSets(std::vector<uint32_t> numbers, size_t maxSetLength) {
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<std::string> sets;
    std::string current;
    size_t i = 0;
    while (i < numbers.size()) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        const std::string run = std::to_string(numbers[i]) + ':' + std::to_string(numbers[j]);
        if (!current.empty() && current.size() + 1 + run.size() > maxSetLength) {
            sets.push_back(std::move(current));
            current.clear();
        }
        if (!current.empty())
            current += ',';
        current += run;
        i = j + 1;
    }
    if (!current.empty())
        sets.push_back(std::move(current));
    return sets;
}

size_t CountDistinct(std::vector<uint32_t> numbers) {
    std::sort(numbers.begin(), numbers.end());
    return static_cast<size_t>(std::unique(numbers.begin(), numbers.end()) - numbers.begin());
}
