#include "tests/support/form_fixture.h"

#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using app::kButtonFace;
using app::kGray;
using net::inet::TIdSocketHandle;
using testsupport::FormTest;

class MulticastStatus : public FormTest {
protected:
    void SetUp() override
    {
        FormTest::SetUp();
        form->Edit1->setText("192.168.1.5");
        sender.SetSender("192.168.1.5", 6649);
    }

    void Receive(std::string_view datagram) { form->IdIPMCastClient1IPMCastRead(nullptr, datagram, sender); }

    TIdSocketHandle sender;
};

TEST_F(MulticastStatus, TheFirstLineSetsSourceAndState)
{
    Receive("1,0,2");
    ExpectBadge("GPS", 0x00FF00, 0x000000);
    Receive("0,0,0");
    ExpectBadge("PC Clock", 0x00FF00, 0x000000);
    EXPECT_EQ(form->FSyncState, 2);
    Receive("3,0,0");
    ExpectBadge("NTP", 0x0000FF, 0xFFFFFF);
    Receive("2,0,1");
    ExpectBadge("NTP", 0x00FFFF, 0x000000);
    Receive("1,0,7");
    ExpectBadge("GPS", 0x00FFFF, 0x000000);
}

TEST_F(MulticastStatus, AnUnreadableFirstLineGivesTheUnknownLookAndNothingElse)
{
    form->StatusBar1->SetPanelText(1, "Last Update: 12:00:00 Wed 21 May 2008");
    for (const char* line : {"x,0,2", "1,0,", "1,0", "\r\n1,0,2", "\n"}) {
        Receive("1,0,2");
        Receive(line);
        ExpectBadge("Unknown", kButtonFace, kGray);
    }
    Receive("1,x,2");
    ExpectBadge("Unknown", kButtonFace, kGray);
    EXPECT_EQ(form->FTimeSource, 1); // read before the failing field
    EXPECT_EQ(form->StatusBar1->PanelText(1), "Last Update: 12:00:00 Wed 21 May 2008");
}

TEST_F(MulticastStatus, OnlyTheConfiguredServerIsHeard)
{
    Receive("1,0,2");
    for (const char* other : {"192.168.1.6", "192.168.001.005"}) {
        TIdSocketHandle stranger;
        stranger.SetSender(other, 6649);
        form->IdIPMCastClient1IPMCastRead(nullptr, "3,0,0", stranger);
    }
    form->Edit1->setText(" 192.168.1.5");
    Receive("3,0,0");
    form->Edit1->setText("192.168.1.5");
    ExpectBadge("GPS", 0x00FF00, 0x000000);
}

TEST_F(MulticastStatus, LaterLinesAndBytesAfterAZeroAreIgnored)
{
    Receive("1,0,2\r\n3,0,0");
    ExpectBadge("GPS", 0x00FF00, 0x000000);
    Receive(std::string_view("3,0\0,0", 6)); // the text ends at the zero byte
    ExpectBadge("Unknown", kButtonFace, kGray);
    Receive("3,0,1\nx");
    ExpectBadge("NTP", 0x00FFFF, 0x000000);
}

TEST_F(MulticastStatus, ADatagramWithoutALineHasNoEffect)
{
    Receive("1,0,2");
    Receive(std::string_view("\0"
                             "3,0,0",
                             6));
    ExpectBadge("GPS", 0x00FF00, 0x000000);
}

TEST_F(MulticastStatus, ChangesNothingButTheBadge)
{
    Tick();
    const int countdown = form->Timer1->Tag;
    const std::string panel = form->StatusBar1->PanelText(1);
    form->FErrorIcon = true;
    Receive("1,0,2");
    EXPECT_EQ(form->Timer1->Tag, countdown);
    EXPECT_EQ(form->StatusBar1->PanelText(1), panel);
    EXPECT_EQ(form->FEchoCode, 9999);
    EXPECT_TRUE(form->FErrorIcon);
    EXPECT_TRUE(clockSetter.set.empty());
}

TEST_F(MulticastStatus, NoAddressHistoryIsWritten)
{
    QTemporaryDir folder;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    form.reset();
    MakeForm();
    form.reset(); // the watch would write its history as it goes
    QDir::setCurrent(previous);
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
}
