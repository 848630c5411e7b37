#include <QTest>
class tst_datafile : public QObject { Q_OBJECT };
QTEST_APPLESS_MAIN(tst_datafile)
#include "tst_datafile.moc"
