#include "run/CsvField.h"

bool LooksLikeFormula(std::string_view field) {
    return !field.empty() && std::string_view("=+-@\t\r'").find(field[0]) != std::string_view::npos;
}

void AppendCsvField(std::string& out, std::string_view field) {
    const bool guard = LooksLikeFormula(field);
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += guard ? "'" + std::string(field) : std::string(field);
        return;
    }
    out += guard ? "\"'" : "\"";
    for (const char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

void DropFormulaGuard(std::string& field) {
    if (field.size() > 1 && field[0] == '\'' && LooksLikeFormula(std::string_view(field).substr(1)))
        field.erase(0, 1);
}
