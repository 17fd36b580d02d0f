#include "forms/Validators.h"

#include <wx/datectrl.h>
#include <wx/textentry.h>

#include "forms/DisplayText.h"

namespace {
wxTextEntry* TextEntryOf(wxWindow* window) {
    return window ? dynamic_cast<wxTextEntry*>(window) : nullptr;
}
}  // namespace

CBytesTextValidator::CBytesTextValidator(long style, std::string* bytes)
    : wxTextValidator(style), m_bytes(bytes) {}

bool CBytesTextValidator::TransferToWindow() {
    wxTextEntry* entry = TextEntryOf(GetWindow());
    if (!entry || !m_bytes)
        return false;
    // ChangeValue: filling the form is no user edit.
    entry->ChangeValue(BytesToDisplay(*m_bytes));
    return true;
}

bool CBytesTextValidator::TransferFromWindow() {
    wxTextEntry* entry = TextEntryOf(GetWindow());
    if (!entry || !m_bytes)
        return false;
    *m_bytes = DisplayToBytes(entry->GetValue(), *m_bytes);
    return true;
}

bool CDateValidator::TransferToWindow() {
    auto* picker = dynamic_cast<wxDatePickerCtrl*>(GetWindow());
    if (!picker || !m_date)
        return false;
    // The picker has no empty state: without a date it keeps the one it shows.
    if (m_date->IsValid())
        picker->SetValue(*m_date);
    return true;
}

bool CDateValidator::TransferFromWindow() {
    auto* picker = dynamic_cast<wxDatePickerCtrl*>(GetWindow());
    if (!picker || !m_date)
        return false;
    *m_date = picker->GetValue();
    return true;
}
