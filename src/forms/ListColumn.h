// A column of a report-style list: its title, width (in DIPs) and alignment.
#pragma once

#include <wx/listbase.h>

struct CListColumn {
    const char* title;
    int width;
    wxListColumnFormat format;
};
