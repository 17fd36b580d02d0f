// Data transfer between the forms' members and their controls.
#pragma once

#include <string>

#include <wx/datetime.h>
#include <wx/valtext.h>

// A text control bound to a byte string (see DisplayText.h). The style's
// filter still blocks keystrokes (wxFILTER_DIGITS lets only digits in); the
// transfers never judge the content.
class CBytesTextValidator : public wxTextValidator {
public:
    CBytesTextValidator(long style, std::string* bytes);
    CBytesTextValidator(const CBytesTextValidator&) = default;

    wxObject* Clone() const override { return new CBytesTextValidator(*this); }
    bool TransferToWindow() override;
    bool TransferFromWindow() override;

private:
    std::string* m_bytes;
};

// A wxDatePickerCtrl bound to a wxDateTime; wxGenericValidator cannot do it.
class CDateValidator : public wxValidator {
public:
    explicit CDateValidator(wxDateTime* date) : m_date(date) {}
    CDateValidator(const CDateValidator&) = default;

    wxObject* Clone() const override { return new CDateValidator(*this); }
    bool Validate(wxWindow*) override { return true; }
    bool TransferToWindow() override;
    bool TransferFromWindow() override;

private:
    wxDateTime* m_date;
};
