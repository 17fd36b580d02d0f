// How LOGIN's account and password are put on the wire: plain words as they
// are, other text quoted, 8-bit text as a literal, line breaks and NUL never.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/LoginArgument.h"

using namespace std::string_literals;

TEST(LoginArgument, ClassifiesAndQuotes) {
    struct Case {
        std::string text;
        ArgumentForm form;
        std::string wire;  // for Atom and Quoted
    };
    const std::vector<Case> cases = {
        {"user", ArgumentForm::Atom, "user"},
        {"Mario.Rossi-2_x@example.it", ArgumentForm::Atom, "Mario.Rossi-2_x@example.it"},
        {"0", ArgumentForm::Atom, "0"},
        {"", ArgumentForm::Quoted, "\"\""},
        {"a b", ArgumentForm::Quoted, "\"a b\""},
        {"p\"w", ArgumentForm::Quoted, "\"p\\\"w\""},
        {"dom\\user", ArgumentForm::Quoted, "\"dom\\\\user\""},
        {"\\\"", ArgumentForm::Quoted, "\"\\\\\\\"\""},
        {"a+b", ArgumentForm::Quoted, "\"a+b\""},
        {"p%w*", ArgumentForm::Quoted, "\"p%w*\""},
        {"(x){1}", ArgumentForm::Quoted, "\"(x){1}\""},
        {"tab\there", ArgumentForm::Quoted, "\"tab\there\""},
        {"~!#$&'=/?", ArgumentForm::Quoted, "\"~!#$&'=/?\""},
        {" ", ArgumentForm::Quoted, "\" \""},
        {"p\xC3\xA0ss", ArgumentForm::Literal, ""},
        {"\x80", ArgumentForm::Literal, ""},
        {"a b\xFF\"", ArgumentForm::Literal, ""},
        {"a\rb", ArgumentForm::Refused, ""},
        {"a\nb", ArgumentForm::Refused, ""},
        {"a\0b"s, ArgumentForm::Refused, ""},
        {"\0"s, ArgumentForm::Refused, ""},
        {"p\xC3\xA0ss\r\n", ArgumentForm::Refused, ""},
        {"\n", ArgumentForm::Refused, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ClassifyArgument(c.text), c.form);
        if (c.form == ArgumentForm::Atom || c.form == ArgumentForm::Quoted) {
            EXPECT_EQ(QuoteArgument(c.text), c.wire);
        }
    }
}

TEST(LoginArgument, EveryByteValueFallsInTheRightForm) {
    for (int b = 0; b < 256; ++b) {
        const std::string text(1, static_cast<char>(b));
        SCOPED_TRACE(b);
        const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                           (b >= '0' && b <= '9') || b == '@' || b == '.' || b == '_' || b == '-';
        ArgumentForm want = ArgumentForm::Quoted;
        if (plain)
            want = ArgumentForm::Atom;
        else if (b == '\r' || b == '\n' || b == 0)
            want = ArgumentForm::Refused;
        else if (b >= 0x80)
            want = ArgumentForm::Literal;
        EXPECT_EQ(ClassifyArgument(text), want);
        // Quoted text can always be read back: strip the quotes and the escapes.
        if (want == ArgumentForm::Quoted) {
            const std::string q = QuoteArgument(text);
            ASSERT_GE(q.size(), 3u);
            EXPECT_EQ(q.front(), '"');
            EXPECT_EQ(q.back(), '"');
            const std::string inner = q.substr(1, q.size() - 2);
            EXPECT_EQ(inner, (b == '"' || b == '\\') ? "\\" + text : text);
        }
    }
}
