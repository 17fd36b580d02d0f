// One field of the program's CSV files (RFC 4180), guarded against being
// taken for a formula by a spreadsheet and read back exactly.
#pragma once

#include <string>
#include <string_view>

// A spreadsheet takes a cell beginning with one of these for a formula; one
// beginning with the guard ' itself is guarded too, so that reading is exact.
bool LooksLikeFormula(std::string_view field);
// Appends field, after the guard ' when it looks like a formula, quoted when
// it holds ',', '"', CR or LF.
void AppendCsvField(std::string& out, std::string_view field);
// Drops the guard AppendCsvField put before a field read back.
void DropFormulaGuard(std::string& field);
