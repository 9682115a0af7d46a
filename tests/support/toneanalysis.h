#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QList>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

// Stimuli and measurements for the voice path through a private PulseAudio: stereo 8 kHz
// recordings of a bus whose left channel is what a microphone heard and whose right channel is
// what the other client's loudspeaker played.
namespace tone {

constexpr int rate = 8000;
using Samples = QList<qint16>;

inline Samples sine(double hertz, double amplitude, qsizetype count) {
    Samples out(count);
    for (qsizetype i = 0; i < count; ++i)
        out[i] = qint16(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * hertz * double(i) / rate)));
    return out;
}

// A stereo 16-bit WAV file: `left` on the left, silence on the right.
inline QByteArray leftOnlyWav(const Samples &left) {
    QByteArray wav;
    QDataStream out(&wav, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const auto bytes = quint32(left.size() * 4);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + bytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(2) << quint32(rate) << quint32(rate * 4)
        << quint16(4) << quint16(16);
    out.writeRawData("data", 4);
    out << bytes;
    for (const qint16 sample : left)
        out << sample << qint16(0);
    return wav;
}

struct Stereo {
    Samples left, right;
};

// Interleaved signed 16-bit little-endian stereo, as parecord --raw writes it.
inline Stereo split(const QByteArray &raw) {
    Stereo out;
    for (qsizetype i = 0; i + 3 < raw.size(); i += 4) {
        out.left << qFromLittleEndian<qint16>(raw.constData() + i);
        out.right << qFromLittleEndian<qint16>(raw.constData() + i + 2);
    }
    return out;
}

// First and one-past-last sample whose magnitude reaches `threshold` in [from, to); {-1, -1} if
// none.
struct Span {
    qsizetype begin = -1, end = -1;
    bool isEmpty() const { return begin < 0; }
};
inline Span loudSpan(const Samples &s, int threshold, qsizetype from = 0, qsizetype to = -1) {
    Span span;
    for (qsizetype i = from; i < (to < 0 ? s.size() : std::min(to, s.size())); ++i) {
        if (std::abs(int(s[i])) >= threshold) {
            span.begin = span.begin < 0 ? i : span.begin;
            span.end = i + 1;
        }
    }
    return span;
}

inline double rms(const Samples &s, qsizetype begin, qsizetype end) {
    const double sum =
        std::inner_product(s.begin() + begin, s.begin() + end, s.begin() + begin, 0.0);
    return end > begin ? std::sqrt(sum / double(end - begin)) : 0.0;
}

// From the median distance between rising zero crossings (interpolated between samples), so that a
// gap in the sound shifts the result no more than it would change the pitch one hears.
inline double frequency(const Samples &s, qsizetype begin, qsizetype end) {
    QList<double> periods;
    double previous = -1;
    for (qsizetype i = std::max<qsizetype>(begin, 0) + 1; i < end; ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            const double at = double(i - 1) + double(-s[i - 1]) / double(s[i] - s[i - 1]);
            if (previous >= 0)
                periods << at - previous;
            previous = at;
        }
    }
    if (periods.isEmpty())
        return 0.0;
    std::sort(periods.begin(), periods.end());
    return rate / periods.at(periods.size() / 2);
}

} // namespace tone
