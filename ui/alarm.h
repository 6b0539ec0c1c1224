#pragma once

#include <memory>
#include <string>

#include <QString>

class QSoundEffect;

namespace fwp {

// The alarm sound: a short tone of the program's own, written as
// "beep.wav" into a folder (the system's temporary folder) when the
// window is made, and played from there without waiting for it.
class TAlarm {
public:
    // Writes folder/beep.wav, replacing a file of that name; a file that
    // cannot be written leaves the alarm silent.
    explicit TAlarm(const QString& folder);
    ~TAlarm();
    TAlarm(const TAlarm&) = delete;
    TAlarm& operator=(const TAlarm&) = delete;

    const QString& BeepFile() const { return m_beepFile; }
    // Starts the sound and returns at once; without an audio device nothing is heard.
    void Play();
    // How often the sound was asked for.
    int Plays() const { return m_plays; }

private:
    QString m_beepFile;
    bool m_written = false;
    int m_plays = 0;
    std::unique_ptr<QSoundEffect> m_effect;
};

// The alarm tone as a wave file: 16-bit mono PCM at 22050 Hz, a fifth of a
// second of a falling two-note chime that fades out.
std::string BeepWave();

}  // namespace fwp
