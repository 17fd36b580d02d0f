// The core keeps every text as bytes. A control shows them as UTF-8 when they
// are valid UTF-8, otherwise one character per byte (Latin-1), and a text the
// user leaves alone goes back as the very same bytes.
#pragma once

#include <string>
#include <string_view>

#include <wx/string.h>

wxString BytesToDisplay(std::string_view bytes);

// The bytes for what a control holds. shown equal to BytesToDisplay(original)
// gives original back unchanged; an edited text keeps the original's encoding
// (Latin-1 stays Latin-1 while every character fits), otherwise it is UTF-8.
std::string DisplayToBytes(const wxString& shown, const std::string& original);
