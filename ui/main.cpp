#include "ui/frm_sorvik7.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // On X11 the window's pixels go to the server through the socket, not
    // through shared memory: with shared memory every repaint of a control
    // drawn since the last flush first waits for the server to finish
    // reading it (a round trip, and a wake-up of two threads, several times
    // a second while records come in). The window is small, so sending its
    // changed pixels costs less.
    qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication app(argc, argv);
    Frm_Sorvik7 window;
    window.show();
    return app.exec();
}
