#include "run/CutoffDate.h"

#include <cstdio>

#include <wx/datetime.h>

namespace {
// IMAP's date-month (RFC 3501): English, never the user's locale, which the
// toolkit has switched on at start-up.
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

std::string FormatCutoffDate(const wxDateTime& date) {
    if (!date.IsValid())
        return "Invalid DateTime";
    const wxDateTime::Tm tm = date.GetTm(wxDateTime::Local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d-%s-%04d", static_cast<int>(tm.mday),
                  kMonths[static_cast<int>(tm.mon)], tm.year);
    return text;
}
