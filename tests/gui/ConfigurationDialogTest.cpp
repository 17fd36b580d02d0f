// The Configuration form and the byte/text conversion of all the forms.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <wx/frame.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "dialogs/ControlIds.h"
#include "dialogs/DisplayText.h"
#include "dialogs/Validators.h"
#include "gui/DialogTestKit.h"
#include "settings/ConfigurationCommand.h"
#include "settings/DlgConfigura.h"
#include "settings/Settings.h"
#include "support/FakeImapServer.h"

using namespace dialog_test;

namespace {

wxString U(const char* utf8) {
    return wxString::FromUTF8(utf8);
}

wxTextCtrl& Field(wxWindow& dlg, int id) {
    auto* field = dynamic_cast<wxTextCtrl*>(dlg.FindWindow(id));
    if (!field)
        throw std::runtime_error("no text field " + std::to_string(id));
    return *field;
}

// The label's control, found by its text.
template <class T>
T* Labelled(wxWindow& dlg, const char* label) {
    for (wxWindow* child : dlg.GetChildren())
        if (auto* w = dynamic_cast<T*>(child); w && w->GetLabel() == label)
            return w;
    return nullptr;
}

// --------------------------------------------------------------- bytes and text

TEST(DisplayText, RecognisesWellFormedUtf8Only) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("plain ascii"));
    EXPECT_TRUE(IsValidUtf8("j\xC3\xA9r\xC3\xB4me"));  // jérôme
    EXPECT_TRUE(IsValidUtf8("\xE2\x82\xAC"));          // euro sign
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x93\xA7"));      // U+1F4E7
    EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));      // U+10FFFF
    EXPECT_FALSE(IsValidUtf8("m\xFCller"));            // Latin-1 ü
    EXPECT_FALSE(IsValidUtf8("\xC3"));                 // cut short
    EXPECT_FALSE(IsValidUtf8("\xE2\x82"));             // cut short
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));             // overlong '/'
    EXPECT_FALSE(IsValidUtf8("\xE0\x80\xAF"));         // overlong '/'
    EXPECT_FALSE(IsValidUtf8("\xF0\x80\x80\xAF"));     // overlong '/'
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));         // surrogate
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));     // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xF5\x80\x80\x80"));     // no such lead byte
    EXPECT_FALSE(IsValidUtf8("\x80"));                 // lone continuation
    EXPECT_FALSE(IsValidUtf8("\xE2\x28\xA1"));         // broken continuation
}

TEST(DisplayText, ShowsUtf8AsUtf8AndAnythingElseAsLatin1) {
    EXPECT_EQ(BytesToDisplay(""), wxString());
    EXPECT_EQ(BytesToDisplay("host"), wxString("host"));
    EXPECT_EQ(BytesToDisplay("j\xC3\xA9r\xC3\xB4me"), U("jérôme"));
    EXPECT_EQ(BytesToDisplay("j\xC3\xA9r\xC3\xB4me").length(), 6u);
    EXPECT_EQ(BytesToDisplay("m\xFCller"), U("müller"));
    // Latin-1 byte for byte, C1 and the top of the range included.
    const wxString latin = BytesToDisplay("\x80\xA0\xFF");
    ASSERT_EQ(latin.length(), 3u);
    EXPECT_EQ(latin[0].GetValue(), 0x80u);
    EXPECT_EQ(latin[1].GetValue(), 0xA0u);
    EXPECT_EQ(latin[2].GetValue(), 0xFFu);
}

TEST(DisplayText, UnchangedTextGivesBackTheOriginalBytes) {
    for (const std::string& original :
         {std::string(), std::string("host"), std::string("j\xC3\xA9r\xC3\xB4me"),
          std::string("m\xFCller"), std::string("\x80\xA0\xFF"), std::string("\xC3")}) {
        EXPECT_EQ(DisplayToBytes(BytesToDisplay(original), original), original)
            << Printable(original);
    }
}

TEST(DisplayText, EditedTextKeepsTheOriginalsEncoding) {
    // Shown as Latin-1, edited within Latin-1: stays Latin-1.
    EXPECT_EQ(DisplayToBytes(U("müller2"), "m\xFCller"), "m\xFCller2");
    // Beyond Latin-1 there is no choice but UTF-8.
    EXPECT_EQ(DisplayToBytes(U("m€ller"), "m\xFCller"), "m\xE2\x82\xACller");
    // UTF-8 (or plain ASCII) stays UTF-8.
    EXPECT_EQ(DisplayToBytes(U("jérôme2"), "j\xC3\xA9r\xC3\xB4me"), "j\xC3\xA9r\xC3\xB4me2");
    EXPECT_EQ(DisplayToBytes(U("hé"), "h"), "h\xC3\xA9");
    EXPECT_EQ(DisplayToBytes(U(""), "m\xFCller"), "");
}

// ------------------------------------------------------------------- the form

class ConfigurationDialog : public ::testing::Test {
protected:
    void SetUp() override {
        m_frame = new wxFrame(nullptr, wxID_ANY, "owner");
        m_frame->Show();
        m_settings.m_nPauseMs = 1000;
        m_settings.m_strServerIP = "mail.example.test";
        m_settings.m_strPort = "143";
    }
    void TearDown() override {
        m_frame->Destroy();
        EXPECT_TRUE(m_log.Complaints().empty())
            << "logged: " << (m_log.Complaints().empty() ? "" : m_log.Complaints().front());
    }

    // Runs the command with the form answered by act instead of a user.
    void RunWith(std::function<int(CDlgConfigura&)> act) {
        wxTEST_DIALOG(RunConfigurationCommand(m_frame, m_settings),
                      wxExpectModal<CDlgConfigura>(std::move(act)));
    }

    void ExpectSettings(int pause, const std::string& address, const std::string& port) {
        EXPECT_EQ(m_settings.m_nPauseMs, pause);
        EXPECT_EQ(m_settings.m_strServerIP, address);
        EXPECT_EQ(m_settings.m_strPort, port);
    }

    LogCapture m_log;
    wxFrame* m_frame = nullptr;
    CSettings m_settings;
};

TEST_F(ConfigurationDialog, TemplateLayoutTextsAndTabOrder) {
    CDlgConfigura dlg(m_frame);
    ASSERT_TRUE(dlg.IsLoaded());
    EXPECT_EQ(dlg.GetId(), IDD_CONFIGURATION);
    EXPECT_EQ(dlg.GetTitle(), "Configuration");
    const wxSize client = dlg.ConvertDialogToPixels(wxSize(190, 100));
    EXPECT_EQ(dlg.GetClientSize(), client);

    ExpectPlaced(dlg, IDC_EDIT_SERVER_IP, {14, 19}, {108, 14});
    ExpectPlaced(dlg, IDC_EDIT_PORT, {146, 19}, {30, 14});
    ExpectPlaced(dlg, IDC_EDIT_PAUSE, {14, 57}, {50, 14});
    ExpectPlaced(dlg, IDC_SET, {76, 80}, {50, 14});
    ExpectPlaced(dlg, wxID_CANCEL, {133, 80}, {50, 14});
    EXPECT_EQ(dlg.FindWindow(IDC_SET)->GetLabel(), "Set");
    EXPECT_EQ(dlg.FindWindow(wxID_CANCEL)->GetLabel(), "Cancel");
    EXPECT_EQ(TabOrder(dlg), (std::vector<int>{IDC_EDIT_SERVER_IP, IDC_EDIT_PORT, IDC_EDIT_PAUSE,
                                               IDC_SET, wxID_CANCEL}));
    EXPECT_EQ(dlg.GetDefaultItem(), nullptr);
    ExpectLabelsFit(dlg);

    // Each group box frames its fields; every control lies inside the form.
    auto* server = Labelled<wxStaticBox>(dlg, "Exchange Server IP Address");
    auto* pause = Labelled<wxStaticBox>(dlg, "Tm pause");
    auto* port = Labelled<wxStaticText>(dlg, "Port");
    auto* millisec = Labelled<wxStaticText>(dlg, "millisec");
    ASSERT_TRUE(server && pause && port && millisec);
    EXPECT_TRUE(server->GetRect().Contains(dlg.FindWindow(IDC_EDIT_SERVER_IP)->GetRect()));
    EXPECT_TRUE(server->GetRect().Contains(dlg.FindWindow(IDC_EDIT_PORT)->GetRect()));
    EXPECT_TRUE(server->GetRect().Contains(port->GetRect()));
    EXPECT_TRUE(pause->GetRect().Contains(dlg.FindWindow(IDC_EDIT_PAUSE)->GetRect()));
    EXPECT_TRUE(pause->GetRect().Contains(millisec->GetRect()));
    EXPECT_FALSE(server->GetRect().Intersects(pause->GetRect()));
    const wxRect inside(wxPoint(0, 0), client);
    for (wxWindow* child : dlg.GetChildren())
        EXPECT_TRUE(inside.Contains(child->GetRect())) << child->GetLabel().ToStdString();

    // The digit filters stop keystrokes only; none of the fields may be left
    // to wxFILTER_EMPTY (an empty port is a legal answer).
    auto filter = [&](int id) {
        auto* v = dynamic_cast<CBytesTextValidator*>(dlg.FindWindow(id)->GetValidator());
        return v ? v->GetStyle() : -1L;
    };
    EXPECT_EQ(filter(IDC_EDIT_SERVER_IP), wxFILTER_NONE);
    EXPECT_EQ(filter(IDC_EDIT_PORT), wxFILTER_DIGITS);
    EXPECT_EQ(filter(IDC_EDIT_PAUSE), wxFILTER_DIGITS);
}

TEST_F(ConfigurationDialog, OpensWithTheCurrentSettings) {
    m_settings.m_nPauseMs = 2500;
    m_settings.m_strPort = "00993";
    wxString address, pause, port;
    RunWith([&](CDlgConfigura& dlg) {
        dlg.InitDialog();
        address = Field(dlg, IDC_EDIT_SERVER_IP).GetValue();
        pause = Field(dlg, IDC_EDIT_PAUSE).GetValue();
        port = Field(dlg, IDC_EDIT_PORT).GetValue();
        return wxID_CANCEL;
    });
    EXPECT_EQ(address, "mail.example.test");
    EXPECT_EQ(pause, "2500");
    EXPECT_EQ(port, "00993");  // shown as stored, normalised only on Set
    ExpectSettings(2500, "mail.example.test", "00993");
}

TEST_F(ConfigurationDialog, SetClampsThePauseTrimsTheAddressAndNormalisesThePort) {
    struct Case {
        const char* pause;
        const char* address;
        const char* port;
        int wantPause;
        const char* wantAddress;
        const char* wantPort;
    };
    const Case cases[] = {
        {"50", "host", "143", 100, "host", "143"},
        {"99", "host", "143", 100, "host", "143"},
        {"100", "host", "143", 100, "host", "143"},
        {"30000", "host", "143", 30000, "host", "143"},
        {"30001", "host", "143", 30000, "host", "143"},
        {"", "host", "143", 100, "host", "143"},
        {"1500", "  host  ", "00993", 1500, "  host", "993"},
        {"1500", "host\t ", "", 1500, "host", "0"},
        {"1500", "", "0143", 1500, "", "143"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("pause '") + c.pause + "' address '" + c.address + "' port '" +
                     c.port + "'");
        m_settings = CSettings{};
        m_settings.m_strServerIP = "old.example.test";
        int result = wxID_NONE;
        RunWith([&](CDlgConfigura& dlg) {
            dlg.InitDialog();
            Field(dlg, IDC_EDIT_PAUSE).ChangeValue(c.pause);
            Field(dlg, IDC_EDIT_SERVER_IP).ChangeValue(c.address);
            Field(dlg, IDC_EDIT_PORT).ChangeValue(c.port);
            result = Click(dlg, IDC_SET);
            return result;
        });
        EXPECT_EQ(result, wxID_OK);
        ExpectSettings(c.wantPause, c.wantAddress, c.wantPort);
    }
}

TEST_F(ConfigurationDialog, CancelButtonTransfersNothingAndChangesNothing) {
    std::string seenAddress;
    RunWith([&](CDlgConfigura& dlg) {
        dlg.InitDialog();
        Field(dlg, IDC_EDIT_PAUSE).ChangeValue("50");
        Field(dlg, IDC_EDIT_SERVER_IP).ChangeValue("other.example.test");
        Field(dlg, IDC_EDIT_PORT).ChangeValue("993");
        Click(dlg, wxID_CANCEL);
        seenAddress = dlg.m_strServerIP;
        return wxID_CANCEL;
    });
    EXPECT_EQ(seenAddress, "mail.example.test");
    ExpectSettings(1000, "mail.example.test", "143");
}

TEST_F(ConfigurationDialog, Latin1AddressSurvivesTheFormByteForByte) {
    m_settings.m_strServerIP = "h\xF6st.example.test";
    wxString shown;
    RunWith([&](CDlgConfigura& dlg) {
        dlg.InitDialog();
        shown = Field(dlg, IDC_EDIT_SERVER_IP).GetValue();
        return Click(dlg, IDC_SET);
    });
    EXPECT_EQ(shown, U("höst.example.test"));
    EXPECT_EQ(m_settings.m_strServerIP, "h\xF6st.example.test");

    // Edited, it keeps its encoding.
    RunWith([&](CDlgConfigura& dlg) {
        dlg.InitDialog();
        Field(dlg, IDC_EDIT_SERVER_IP).AppendText("2");
        return Click(dlg, IDC_SET);
    });
    EXPECT_EQ(m_settings.m_strServerIP, "h\xF6st.example.test2");

    m_settings.m_strServerIP = "h\xC3\xB4st";
    RunWith([&](CDlgConfigura& dlg) {
        dlg.InitDialog();
        shown = Field(dlg, IDC_EDIT_SERVER_IP).GetValue();
        return Click(dlg, IDC_SET);
    });
    EXPECT_EQ(shown, U("hôst"));
    EXPECT_EQ(m_settings.m_strServerIP, "h\xC3\xB4st");
}

// ------------------------------------------------------- shown with ShowModal

TEST_F(ConfigurationDialog, ShownForRealFocusStartsOnTheAddressAndEscapeCancels) {
    int focusAtStart = wxID_NONE;
    int phase = 0;
    ModalDriver driver([&](wxDialog& dlg) {
        if (phase == 0) {
            if (wxWindow* focus = wxWindow::FindFocus())
                focusAtStart = focus->GetId();
            phase = 1;
        }
        if (driver.SinceActive() < std::chrono::milliseconds(1000))
            return false;  // let it paint before the picture
        SaveScreenshotIfAsked(dlg, "dialog-configuration.png");
        Field(dlg, IDC_EDIT_PAUSE).ChangeValue("50");
        Field(dlg, IDC_EDIT_SERVER_IP).ChangeValue("other.example.test");
        Field(dlg, IDC_EDIT_PORT).ChangeValue("993");
        PressKey(WXK_ESCAPE);
        return true;
    });
    RunConfigurationCommand(m_frame, m_settings);
    EXPECT_FALSE(driver.TimedOut());
    EXPECT_EQ(driver.FormsShown(), 1);
    EXPECT_EQ(focusAtStart, IDC_EDIT_SERVER_IP);
    ExpectSettings(1000, "mail.example.test", "143");
}

TEST_F(ConfigurationDialog, EnterInAFieldAcceptsLikeSet) {
    ModalDriver driver([&](wxDialog& dlg) {
        Field(dlg, IDC_EDIT_PAUSE).ChangeValue("30001");
        Field(dlg, IDC_EDIT_SERVER_IP).ChangeValue("  relay.example.test  ");
        Field(dlg, IDC_EDIT_PORT).ChangeValue("00993");
        Field(dlg, IDC_EDIT_PORT).SetFocus();
        PressKey(WXK_RETURN);
        return true;
    });
    RunConfigurationCommand(m_frame, m_settings);
    EXPECT_FALSE(driver.TimedOut());
    ExpectSettings(30000, "  relay.example.test", "993");
}

TEST_F(ConfigurationDialog, DigitFieldsRefuseOtherKeysTheAddressTakesAnything) {
    int phase = 0;
    auto typeInto = [](wxTextCtrl& field, const char* text) {
        field.ChangeValue("");
        field.SetFocus();
        wxUIActionSimulator sim;
        EXPECT_TRUE(sim.Text(text));
    };
    ModalDriver driver([&](wxDialog& dlg) {
        wxTextCtrl& port = Field(dlg, IDC_EDIT_PORT);
        wxTextCtrl& pause = Field(dlg, IDC_EDIT_PAUSE);
        wxTextCtrl& address = Field(dlg, IDC_EDIT_SERVER_IP);
        switch (phase) {
            case 0:
                typeInto(port, "9a9-3");
                phase = 1;
                return false;
            case 1:  // every key has arrived
                if (port.GetValue() != "993")
                    return false;
                typeInto(pause, "2x5.0");
                phase = 2;
                return false;
            case 2:
                if (pause.GetValue() != "250")
                    return false;
                typeInto(address, "mx-1.example,x");
                phase = 3;
                return false;
            default:
                if (address.GetValue() != "mx-1.example,x")
                    return false;
                PressKey(WXK_RETURN);
                return true;
        }
    });
    RunConfigurationCommand(m_frame, m_settings);
    EXPECT_FALSE(driver.TimedOut()) << "phase " << phase;
    ExpectSettings(250, "mx-1.example,x", "993");
}

TEST_F(ConfigurationDialog, EnterOnTheFocusedCancelButtonCancels) {
    ModalDriver driver([&](wxDialog& dlg) {
        Field(dlg, IDC_EDIT_PAUSE).ChangeValue("50");
        dlg.FindWindow(wxID_CANCEL)->SetFocus();
        PressKey(WXK_RETURN);
        return true;
    });
    RunConfigurationCommand(m_frame, m_settings);
    EXPECT_FALSE(driver.TimedOut());
    ExpectSettings(1000, "mail.example.test", "143");
}

TEST_F(ConfigurationDialog, CloseBoxCancels) {
    ModalDriver driver([&](wxDialog& dlg) {
        Field(dlg, IDC_EDIT_SERVER_IP).ChangeValue("other.example.test");
        dlg.Close();  // what the window's close box asks for
        return true;
    });
    RunConfigurationCommand(m_frame, m_settings);
    EXPECT_FALSE(driver.TimedOut());
    ExpectSettings(1000, "mail.example.test", "143");
}

}  // namespace
