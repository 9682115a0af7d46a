#pragma once

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

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
    const quint32 dataBytes = quint32(left.size() * 4);
    QByteArray wav(44 + qsizetype(dataBytes), '\0');
    auto *p = reinterpret_cast<uchar *>(wav.data());
    auto put32 = [p](int at, quint32 v) { qToLittleEndian<quint32>(v, p + at); };
    auto put16 = [p](int at, quint16 v) { qToLittleEndian<quint16>(v, p + at); };
    std::memcpy(p, "RIFF", 4);
    put32(4, 36 + dataBytes);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, 2);
    put32(24, rate);
    put32(28, rate * 4);
    put16(32, 4);
    put16(34, 16);
    std::memcpy(p + 36, "data", 4);
    put32(40, dataBytes);
    for (qsizetype i = 0; i < left.size(); ++i)
        qToLittleEndian<qint16>(left[i], p + 44 + 4 * i);
    return wav;
}

struct Stereo {
    Samples left;
    Samples right;
};

// Interleaved signed 16-bit little-endian stereo, as parecord --raw writes it.
inline Stereo split(const QByteArray &raw) {
    Stereo out;
    const qsizetype frames = raw.size() / 4;
    out.left.resize(frames);
    out.right.resize(frames);
    for (qsizetype i = 0; i < frames; ++i) {
        out.left[i] = qFromLittleEndian<qint16>(raw.constData() + 4 * i);
        out.right[i] = qFromLittleEndian<qint16>(raw.constData() + 4 * i + 2);
    }
    return out;
}

// First and one-past-last sample whose magnitude reaches `threshold` in [from, to); {-1, -1} if
// none.
struct Span {
    qsizetype begin = -1;
    qsizetype end = -1;
    bool isEmpty() const { return begin < 0; }
};
inline Span loudSpan(const Samples &s, int threshold, qsizetype from = 0, qsizetype to = -1) {
    if (to < 0 || to > s.size())
        to = s.size();
    Span span;
    for (qsizetype i = from; i < to; ++i) {
        if (std::abs(int(s[i])) >= threshold) {
            if (span.begin < 0)
                span.begin = i;
            span.end = i + 1;
        }
    }
    return span;
}

inline double rms(const Samples &s, qsizetype begin, qsizetype end) {
    double sum = 0;
    for (qsizetype i = begin; i < end; ++i)
        sum += double(s[i]) * double(s[i]);
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

// The delay in samples, up to `maxLag`, at which `right` best matches the `length` samples of
// `left` starting at `begin`, with the normalised correlation there.
struct Match {
    qsizetype lag = -1;
    double correlation = 0;
};
inline Match bestLag(const Samples &left, const Samples &right, qsizetype begin, qsizetype length,
                     qsizetype maxLag) {
    Match best;
    double leftEnergy = 0;
    for (qsizetype i = 0; i < length; ++i)
        leftEnergy += double(left[begin + i]) * left[begin + i];
    for (qsizetype lag = 0; lag <= maxLag && begin + lag + length <= right.size(); ++lag) {
        double cross = 0;
        double rightEnergy = 0;
        for (qsizetype i = 0; i < length; ++i) {
            const double r = right[begin + lag + i];
            cross += double(left[begin + i]) * r;
            rightEnergy += r * r;
        }
        if (leftEnergy <= 0 || rightEnergy <= 0)
            continue;
        const double c = cross / std::sqrt(leftEnergy * rightEnergy);
        if (c > best.correlation) {
            best.correlation = c;
            best.lag = lag;
        }
    }
    return best;
}

// Runs of at least `minRun` consecutive samples quieter than `threshold` in [begin, end).
inline int silentRuns(const Samples &s, qsizetype begin, qsizetype end, qsizetype minRun,
                      int threshold) {
    int runs = 0;
    qsizetype quiet = 0;
    for (qsizetype i = begin; i < end; ++i) {
        if (std::abs(int(s[i])) < threshold) {
            if (++quiet == minRun)
                ++runs;
        } else {
            quiet = 0;
        }
    }
    return runs;
}

} // namespace tone
