// The alarm sound and when the window sounds it.
#include <QApplication>
#include <QTabBar>
#include <QTabWidget>
#include <QWidget>

#include <gtest/gtest.h>

#include "tests/ui/window_fixture.h"
#include "ui/alarm.h"

namespace fwp::test {
namespace {

TEST(Alarm, TheToneIsAWaveFileOfOurOwn) {
    const std::string wave = BeepWave();
    // 4410 samples of 16 bits: 8820 bytes of data after a 44-byte header.
    const std::string header(
        "RIFF\x98\x22\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00"
        "\x22\x56\x00\x00\x44\xAC\x00\x00\x02\x00\x10\x00"
        "data\x74\x22\x00\x00",
        44);
    ASSERT_EQ(wave.size(), 44u + 8820u);
    EXPECT_EQ(wave.substr(0, 44), header);
    // It is a sound, not silence, and it starts and ends quietly.
    int loudest = 0;
    for (std::size_t i = 44; i < wave.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(wave[i]) |
                                                      (static_cast<unsigned char>(wave[i + 1]) << 8));
        loudest = std::max(loudest, std::abs(static_cast<int>(sample)));
    }
    EXPECT_GT(loudest, 8000);
    EXPECT_EQ(wave.substr(44, 2), std::string(2, '\0'));
}

TEST(Alarm, BeepWavReplacesAnyFileOfThatNameAndPlaysWithoutADeviceOrAFile) {
    TSandbox box;
    box.WriteFile("beep.wav", "an older file that is longer than nothing at all");
    TAlarm alarm(Q(box.Root().string()));
    EXPECT_EQ(U(alarm.BeepFile()), box.Path("beep.wav").string());
    EXPECT_EQ(ReadAll(box.Path("beep.wav")), BeepWave());
    alarm.Play();
    alarm.Play();
    EXPECT_EQ(alarm.Plays(), 2);
    // A folder that cannot be written leaves the alarm silent.
    TAlarm silent(Q(box.Path("missing/folder").string()));
    silent.Play();
    EXPECT_FALSE(std::filesystem::exists(box.Path("missing/folder/beep.wav")));
    // Whatever the audio system says comes asynchronously; it must not fail the program.
    TQtEventLoop loop;
    loop.RunUntil([] { return false; }, 300ms);
}

class Alerts : public TWindowTest {
protected:
    void AddRow() { window->Controller().Rows().AddNoteRow(riMessage, Sjis("IM受信"), "> x", ""); }
};

// In the background every new row sounds; in front only one while another page is shown.
// (Showing the marked page again is checked with the plug-ins' pages.)
TEST_F(Alerts, ARowSoundsTheAlarmInTheBackgroundOrWhileAnotherPageIsInFront) {
    MakeWindow();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(RunUntil([&] { return QApplication::activeWindow() == &other; }, 10s));
    AddRow();
    EXPECT_EQ(window->Alarm().Plays(), 1);
    config->SoundAlarm = false;
    AddRow();
    EXPECT_EQ(window->Alarm().Plays(), 1);
    config->SoundAlarm = true;

    Activate();
    AddRow();
    EXPECT_EQ(window->Alarm().Plays(), 1);
    // A page of another kind (a plug-in's) in front of the transfer page.
    auto* spaces = Find<QTabWidget>("pcSpaces");
    auto* page = new QWidget;
    spaces->addTab(page, QStringLiteral("other"));
    spaces->setCurrentWidget(page);
    const QColor normal = spaces->tabBar()->tabTextColor(0);
    AddRow();
    EXPECT_EQ(window->Alarm().Plays(), 2);
    EXPECT_NE(spaces->tabBar()->tabTextColor(0), normal);
}

}  // namespace
}  // namespace fwp::test
