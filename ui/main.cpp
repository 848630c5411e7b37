#include "ui/frm_sorvik7.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Frm_Sorvik7 window;
    window.show();
    return app.exec();
}
