#include "run/Progress.h"

#include <cmath>
#include <cstdio>

std::string FormatTimeLeft(std::chrono::seconds left) {
    const long long s = left.count();
    char text[40];
    if (s < 60)
        std::snprintf(text, sizeof text, "%lld s", s);
    else if (s < 3600)
        std::snprintf(text, sizeof text, "%lld min", (s + 30) / 60);
    else
        std::snprintf(text, sizeof text, "%lld h %02lld min", s / 3600, s % 3600 / 60);
    return text;
}

std::string ProgressText(int number, int count, int done,
                         std::chrono::steady_clock::duration elapsed) {
    std::string text = "Account " + std::to_string(number) + " of " + std::to_string(count);
    if (done >= 2 && done < count) {
        // In seconds as a double: nanoseconds times a long list could overflow.
        const double left = std::chrono::duration<double>(elapsed).count() / done * (count - done);
        text += ", about " + FormatTimeLeft(std::chrono::seconds(std::llround(left))) + " left";
    }
    return text;
}
