#pragma once

// A real X screen for the screen-sharing tests and benchmark: a private Xvfb that this process
// starts and stops by itself, a child run of the current executable on it, and a window that
// covers the whole primary screen with a known picture. Qt picks its platform once per process
// and the rest of the suite runs offscreen, so whatever needs the X screen runs in a child.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <array>

namespace xscreen {

// True in the child run that startChild() made.
inline bool isChild() {
    return qEnvironmentVariableIsSet("TOVIK_SCREEN_ON_X");
}

class PrivateXServer {
public:
    // What has not ended by then, QProcess kills on destruction.
    ~PrivateXServer() {
        server.terminate();
        server.waitForFinished(5000);
    }

    static bool available() { return !QStandardPaths::findExecutable("Xvfb").isEmpty(); }

    // Starts Xvfb with one screen of the given size on the first free display number, which it
    // writes once it accepts connections.
    bool start(QSize screen) {
        server.setStandardErrorFile(QProcess::nullDevice());
        server.start(QStandardPaths::findExecutable("Xvfb"),
                     {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                      QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height())});
        QDeadlineTimer deadline(15000);
        while (server.waitForStarted(1000) && !server.canReadLine() && !deadline.hasExpired())
            server.waitForReadyRead(100);
        bool ok = false;
        display = QStringLiteral(":%1").arg(server.readLine().trimmed().toInt(&ok));
        return ok;
    }

    // Runs this executable again, with `arguments`, on the xcb platform against this server.
    void startChild(QProcess &child, const QStringList &arguments) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.remove("XAUTHORITY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("TOVIK_SCREEN_ON_X", "1");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), arguments);
    }

private:
    QProcess server;
    QString display;
};

enum class Pattern {
    Quadrants, // four flat colours, recognisable after any scaling and JPEG
    Noise,     // random 3 x 3 cells: survives a 3:1 reduction as noise, the worst case for JPEG
};

// Quadrant colours, top-left, top-right, bottom-left, bottom-right.
inline const std::array<QColor, 4> quadrantColours{QColor(220, 40, 40), QColor(40, 180, 60),
                                                   QColor(40, 80, 220), QColor(240, 200, 40)};

inline QImage patternImage(Pattern pattern, QSize size) {
    const int w = size.width(), h = size.height();
    if (pattern == Pattern::Noise) {
        QRandomGenerator rng(20240601);
        QImage cells((w + 2) / 3, (h + 2) / 3, QImage::Format_RGB32);
        for (int y = 0; y < cells.height(); ++y)
            for (int x = 0; x < cells.width(); ++x)
                cells.setPixel(x, y, rng.generate() | 0xff000000u);
        return cells.scaled(cells.size() * 3).copy(0, 0, w, h);
    }
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    for (int i = 0; i < 4; ++i)
        painter.fillRect(QRect(QPoint(i % 2 * w / 2, i / 2 * h / 2),
                               QPoint(i % 2 ? w - 1 : w / 2 - 1, i / 2 ? h - 1 : h / 2 - 1)),
                         quadrantColours[i]);
    return image;
}

// Covers the primary screen, above everything, without a window manager's help.
class ScreenCover : public QWidget {
public:
    explicit ScreenCover(Pattern pattern)
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                               Qt::WindowStaysOnTopHint) {
        setGeometry(QGuiApplication::primaryScreen()->geometry());
        setPicture(patternImage(pattern, size()));
    }
    void setPicture(const QImage &image) {
        picture = image;
        update();
    }

    // Shows (or raises again) the cover and waits until a grab of the screen returns it.
    bool showOnScreen() {
        show();
        raise();
        const auto grabbed = [this] {
            return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
                       QImage::Format_RGB32) == picture;
        };
        return QTest::qWaitForWindowExposed(this, 10000) && QTest::qWaitFor(grabbed, 10000);
    }

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).drawImage(0, 0, picture); }

private:
    QImage picture;
};

// Whether `image` shows the quadrant pattern: the centre of each quarter within 24 per channel
// of its colour (JPEG moves flat colours a little).
inline bool showsQuadrants(const QImage &image) {
    return !image.isNull() && std::ranges::all_of(std::array{0, 1, 2, 3}, [&](int i) {
        const QColor seen = image.pixelColor((1 + i % 2 * 2) * image.width() / 4,
                                             (1 + i / 2 * 2) * image.height() / 4);
        const QColor want = quadrantColours[i];
        return qAbs(seen.red() - want.red()) <= 24 && qAbs(seen.green() - want.green()) <= 24 &&
               qAbs(seen.blue() - want.blue()) <= 24;
    });
}

} // namespace xscreen
