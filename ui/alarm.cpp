#include "ui/alarm.h"

#include <cmath>
#include <numbers>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace fwp {
namespace {

constexpr int SampleRate = 22050;
constexpr int Samples = SampleRate / 5;

void PutLittleEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::string BeepWave() {
    constexpr std::uint32_t dataBytes = Samples * 2;
    std::string wave;
    wave.reserve(44 + dataBytes);
    wave += "RIFF";
    PutLittleEndian(wave, 36 + dataBytes, 4);
    wave += "WAVEfmt ";
    PutLittleEndian(wave, 16, 4);              // size of the format block
    PutLittleEndian(wave, 1, 2);               // PCM
    PutLittleEndian(wave, 1, 2);               // mono
    PutLittleEndian(wave, SampleRate, 4);      // samples per second
    PutLittleEndian(wave, SampleRate * 2, 4);  // bytes per second
    PutLittleEndian(wave, 2, 2);               // bytes per sample
    PutLittleEndian(wave, 16, 2);              // bits per sample
    wave += "data";
    PutLittleEndian(wave, dataBytes, 4);
    // E6 for the first third, then C6; each note swells in, decays and fades
    // out at its end, so that nothing clicks.
    constexpr int split = Samples / 3;
    for (int i = 0; i < Samples; ++i) {
        const bool first = i < split;
        const int begin = first ? 0 : split;
        const int end = first ? split : Samples;
        const double frequency = first ? 1318.5 : 1046.5;
        const double since = static_cast<double>(i - begin) / SampleRate;
        const double swell = std::min(1.0, (i - begin) / 40.0);
        const double fade = std::min(1.0, (end - i) / 120.0);
        const double envelope = swell * fade * std::exp(-since * 12);
        const double t = static_cast<double>(i) / SampleRate;
        const double value = 0.45 * envelope * std::sin(2 * std::numbers::pi * frequency * t);
        const auto sample = static_cast<std::int16_t>(std::lround(value * 32767));
        PutLittleEndian(wave, static_cast<std::uint16_t>(sample), 2);
    }
    return wave;
}

TAlarm::TAlarm(const QString& folder) : m_beepFile(folder + u"/beep.wav"_s) {
    const std::string wave = BeepWave();
    QFile file(m_beepFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        m_written =
            file.write(wave.data(), static_cast<qint64>(wave.size())) == static_cast<qint64>(wave.size());
}

TAlarm::~TAlarm() {
    // Qt's sample cache decodes the file on a thread of its own. Should the
    // program end while that is still under way, the cache's clean-up at
    // exit and the decoding thread wait for each other for ever; so the
    // decoding is let finish here first (it takes milliseconds).
    QElapsedTimer waited;
    waited.start();
    while (m_effect && m_effect->status() == QSoundEffect::Loading && waited.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        QThread::msleep(1);
    }
}

void TAlarm::Play() {
    ++m_plays;
    if (!m_written)
        return;
    if (!m_effect) {
        m_effect = std::make_unique<QSoundEffect>();
        m_effect->setSource(QUrl::fromLocalFile(m_beepFile));
    }
    m_effect->play();
}

}  // namespace fwp
