#include "daemon/options.h"
#include "ui/frm_sorvik7.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // --help and --version are answered before any window system is asked.
    ProgramOptions options({QStringLiteral("sorvik7"), QString(),
                            QStringLiteral("SORVIK-7: records a two-axis ultrasonic wind sensor on RS-232. The window "
                                           "opens stopped: Setting chooses the averaging length, the port, debug "
                                           "mode and the data folder; START records one line per message into the "
                                           "day file yyyymmdd.SVK; STOP stops; END ends the program."),
                            QString(), QString()},
                           {});
    if (const auto outcome = options.parse(ProgramOptions::arguments(argc, argv));
        outcome == ProgramOptions::Outcome::Help || outcome == ProgramOptions::Outcome::Version)
        return options.answer(outcome);

    // On X11 the window's pixels go to the server through the socket, not
    // through shared memory: with shared memory every repaint of a control
    // drawn since the last flush first waits for the server to finish
    // reading it (a round trip, and a wake-up of two threads, several times
    // a second while records come in). The window is small, so sending its
    // changed pixels costs less.
    qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication app(argc, argv); // takes Qt's own options (-platform, -style...) out of argv
    if (const auto outcome = options.parse(ProgramOptions::arguments(argc, argv));
        outcome != ProgramOptions::Outcome::Run)
        return options.answer(outcome);
    Frm_Sorvik7 window;
    window.show();
    return app.exec();
}
