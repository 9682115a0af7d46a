#include "app/singleinstance.h"
#include "app/window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTranslator>

#include <cstdio>
#include <optional>

namespace {

// --help and --version are the program's only options. They are answered before any window
// system is needed, so they work without a display. Returns the exit code when the program should
// end here.
std::optional<int> answerCommandLine(int argc, char *argv[]) {
    int coreArgc = 1;
    QCoreApplication core(coreArgc, argv);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tovik Messenger: chats, files and voice calls with the Tovik service."));
    // Not addHelpOption(): that also offers Qt's own options, which this program does not take.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Print the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    const bool parsed = parser.parse(arguments);
    if (!parsed || !parser.positionalArguments().isEmpty() ||
        (argc > 1 && !parser.isSet(help) && !parser.isSet(version))) {
        const QString error = !parsed ? parser.errorText()
                                      : QStringLiteral("unexpected argument: ") +
                                            QString::fromLocal8Bit(argv[argc - 1]);
        std::fprintf(stderr, "%s\n\n%s", qPrintable(error), qPrintable(parser.helpText()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("Tovik Messenger %s\n", TOVIK_VERSION);
        return 0;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[]) {
    if (const std::optional<int> exitCode = answerCommandLine(argc, argv))
        return *exitCode;

    // Qt itself is given no arguments: nothing on the command line reaches it.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tovik"));
    QApplication::setApplicationName(QStringLiteral("Orvelle"));
    QApplication::setApplicationVersion(QStringLiteral(TOVIK_VERSION));
    // Ties the windows and notifications to the installed dev.tovik.Messenger.desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("dev.tovik.Messenger"));

    SingleInstance instance(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    if (!instance.claim())
        return 0;

    // Qt's own buttons and dialogs speak the same language as the rest of the program.
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_ru"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);

    Window window;
    QObject::connect(&instance, &SingleInstance::activationRequested, &window, [&window] {
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
        window.show();
        window.raise();
        window.activateWindow();
    });
    window.show();
    return QApplication::exec();
}
