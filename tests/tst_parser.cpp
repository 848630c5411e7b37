#include <QTest>
class tst_parser : public QObject { Q_OBJECT };
QTEST_APPLESS_MAIN(tst_parser)
#include "tst_parser.moc"
