#pragma once

// A real X screen for the screen-sharing tests and benchmark: a private Xvfb that this process
// starts and stops by itself, a child run of the current executable on it, and a window that
// covers the whole primary screen with a known picture.
//
// Qt picks its platform once per process, and the rest of the suite runs offscreen, so whatever
// needs the X screen runs in a child process. Xvfb is started directly (not through a wrapper
// script) so both processes are ours to stop by their own handles.

#include <QColor>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <array>

namespace xscreen {

inline constexpr char childVariable[] = "TOVIK_SCREEN_ON_X";

// True in the child run that startChild() made.
inline bool isChild() {
    return qEnvironmentVariableIsSet(childVariable);
}

class PrivateXServer {
public:
    PrivateXServer() = default;
    PrivateXServer(const PrivateXServer &) = delete;
    PrivateXServer &operator=(const PrivateXServer &) = delete;
    ~PrivateXServer() { stop(); }

    static bool available() { return !QStandardPaths::findExecutable("Xvfb").isEmpty(); }

    // Starts Xvfb with one screen of the given size on the first free display number.
    bool start(QSize screen) {
        const QString xvfb = QStandardPaths::findExecutable("Xvfb");
        if (xvfb.isEmpty())
            return false;
        server.setStandardErrorFile(QProcess::nullDevice());
        server.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                            QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height())});
        if (!server.waitForStarted(10000))
            return false;
        // The server writes its display number once it accepts connections.
        QDeadlineTimer deadline(15000);
        while (!server.canReadLine() && !deadline.hasExpired() &&
               server.state() == QProcess::Running)
            server.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        bool ok = false;
        const int number = server.readLine().trimmed().toInt(&ok);
        if (!ok) {
            stop();
            return false;
        }
        displayName = QStringLiteral(":%1").arg(number);
        return true;
    }

    void stop() {
        if (server.state() == QProcess::NotRunning)
            return;
        server.terminate();
        if (!server.waitForFinished(5000)) {
            server.kill();
            server.waitForFinished(5000);
        }
    }

    QString display() const { return displayName; }

    // Runs this executable again, with `arguments`, on the xcb platform against this server. The
    // caller sets up the child's channels.
    void startChild(QProcess &child, const QStringList &arguments) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", displayName);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.remove("XAUTHORITY");
        env.remove("WAYLAND_DISPLAY");
        env.insert(childVariable, "1");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), arguments);
    }

private:
    QProcess server;
    QString displayName;
};

enum class Pattern {
    Quadrants, // four flat colours, recognisable after any scaling and JPEG
    Noise,     // random 3 x 3 cells: survives a 3:1 reduction as noise, the worst case for JPEG
    Desktop,   // windows, text and gradients, like an ordinary working screen
};

// Quadrant colours, top-left, top-right, bottom-left, bottom-right.
inline const std::array<QColor, 4> quadrantColours{QColor(220, 40, 40), QColor(40, 180, 60),
                                                   QColor(40, 80, 220), QColor(240, 200, 40)};

inline QImage patternImage(Pattern pattern, QSize size) {
    QImage image(size, QImage::Format_RGB32);
    const int w = size.width();
    const int h = size.height();
    if (pattern == Pattern::Noise) {
        QRandomGenerator rng(20240601);
        for (int y = 0; y < h; y += 3) {
            for (int x = 0; x < w; x += 3) {
                const QRgb colour = rng.generate() | 0xff000000u;
                for (int dy = 0; dy < 3 && y + dy < h; ++dy) {
                    auto *line = reinterpret_cast<QRgb *>(image.scanLine(y + dy));
                    for (int dx = 0; dx < 3 && x + dx < w; ++dx)
                        line[x + dx] = colour;
                }
            }
        }
        return image;
    }
    QPainter painter(&image);
    if (pattern == Pattern::Quadrants) {
        painter.fillRect(0, 0, w / 2, h / 2, quadrantColours[0]);
        painter.fillRect(w / 2, 0, w - w / 2, h / 2, quadrantColours[1]);
        painter.fillRect(0, h / 2, w / 2, h - h / 2, quadrantColours[2]);
        painter.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, quadrantColours[3]);
        return image;
    }
    QLinearGradient background(0, 0, w, h);
    background.setColorAt(0, QColor(30, 60, 110));
    background.setColorAt(1, QColor(120, 40, 90));
    painter.fillRect(image.rect(), background);
    QRandomGenerator rng(7);
    for (int i = 0; i < 6; ++i) {
        const QRect frame(int(rng.bounded(w / 2)), int(rng.bounded(h / 2)), w / 3, h / 3);
        painter.fillRect(frame, QColor(245, 245, 245));
        painter.fillRect(frame.x(), frame.y(), frame.width(), 28, QColor(60, 60, 70));
        painter.setPen(Qt::black);
        for (int line = 0; line * 18 + 40 < frame.height(); ++line)
            painter.drawText(frame.x() + 8, frame.y() + 44 + line * 18,
                             QStringLiteral("Строка %1: quick brown fox, 0123456789 — %2")
                                 .arg(line)
                                 .arg(rng.generate()));
    }
    return image;
}

// Covers the primary screen, above everything, without a window manager's help.
class ScreenCover : public QWidget {
public:
    explicit ScreenCover(Pattern pattern)
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                               Qt::WindowStaysOnTopHint) {
        setGeometry(QGuiApplication::primaryScreen()->geometry());
        setPattern(pattern);
    }

    void setPattern(Pattern pattern) {
        picture = patternImage(pattern, size());
        update();
    }

    const QImage &image() const { return picture; }

    // Shows the cover and waits until a grab of the screen returns it.
    bool showOnScreen(int timeoutMs = 10000) {
        show();
        raise();
        return QTest::qWaitForWindowExposed(this, timeoutMs) && waitUntilGrabbed(timeoutMs);
    }

    bool waitUntilGrabbed(int timeoutMs = 10000) {
        return QTest::qWaitFor(
            [this] {
                const QImage grabbed =
                    QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
                        QImage::Format_RGB32);
                if (grabbed.size() != picture.size())
                    return false;
                for (const QPoint p : {QPoint(1, 1), QPoint(width() / 3, height() / 3),
                                       QPoint(width() - 2, height() - 2)})
                    if (grabbed.pixel(p) != picture.pixel(p))
                        return false;
                return true;
            },
            timeoutMs);
    }

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        painter.drawImage(0, 0, picture);
    }

private:
    QImage picture;
};

// Whether `image` shows the quadrant pattern: the centre of each quarter within `tolerance` per
// channel of its colour (JPEG moves flat colours a little).
inline QString quadrantMismatch(const QImage &image, int tolerance = 24) {
    if (image.isNull())
        return QStringLiteral("null image");
    const int w = image.width();
    const int h = image.height();
    const std::array<QPoint, 4> centres{QPoint(w / 4, h / 4), QPoint(3 * w / 4, h / 4),
                                        QPoint(w / 4, 3 * h / 4), QPoint(3 * w / 4, 3 * h / 4)};
    for (int i = 0; i < 4; ++i) {
        const QColor seen = image.pixelColor(centres[i]);
        const QColor want = quadrantColours[i];
        if (qAbs(seen.red() - want.red()) > tolerance ||
            qAbs(seen.green() - want.green()) > tolerance ||
            qAbs(seen.blue() - want.blue()) > tolerance)
            return QStringLiteral("quadrant %1 at (%2,%3) is %4, expected %5")
                .arg(i)
                .arg(centres[i].x())
                .arg(centres[i].y())
                .arg(seen.name(), want.name());
    }
    return {};
}

} // namespace xscreen
