#include "acquisition/parse_msg.h"
#include "common/speedwindow.h"

#include <QLocale>
#include <QTest>
#include <clocale>

class tst_parser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void badSpeedChangesNothing_data();
    void badSpeedChangesNothing();
    void missingFieldsKeepOlderValues();
    void speedIgnoresLocale();
    void slotOutsideWindowRefused();
    void average();
    void checksum_data();
    void checksum();
};

void tst_parser::parse_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QByteArray>("fld1");
    QTest::addColumn<QByteArray>("fld2");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QByteArray>("fld4");
    QTest::addColumn<QByteArray>("fld5");
    QTest::addColumn<QByteArray>("fld6");

    QTest::newRow("worked example") << QByteArray("\x02" "A,123,004.56,B,00,XY\r\n")
                                    << QByteArray("\x02" "A") << QByteArray("123") << 4.56
                                    << QByteArray("B") << QByteArray("00") << QByteArray("XY");
    QTest::newRow("sensor message with checksum")
        << QByteArray("\x02Q,156,000.05,M,00,\x03" "19\r\n") << QByteArray("\x02Q")
        << QByteArray("156") << 0.05 << QByteArray("M") << QByteArray("00")
        << QByteArray("\x03" "19");
    QTest::newRow("two commas give an empty field")
        << QByteArray("\x02Q,,012.00,M,,Z\r") << QByteArray("\x02Q") << QByteArray() << 12.0
        << QByteArray("M") << QByteArray() << QByteArray("Z");
    QTest::newRow("text after CR never reaches a field")
        << QByteArray("\x02Q,1,2.5,D,E,F\rG,H,I") << QByteArray("\x02Q") << QByteArray("1")
        << 2.5 << QByteArray("D") << QByteArray("E") << QByteArray("F");
    QTest::newRow("blanks around the speed")
        << QByteArray("\x02Q,229, 12 ,M,00,\r\n") << QByteArray("\x02Q") << QByteArray("229") << 12.0
        << QByteArray("M") << QByteArray("00") << QByteArray();
    QTest::newRow("fields past 6 ignored, signed speed")
        << QByteArray("\x02Q,9,-001.25,a,b,c,d,e\r\n") << QByteArray("\x02Q") << QByteArray("9")
        << -1.25 << QByteArray("a") << QByteArray("b") << QByteArray("c");
}

void tst_parser::parse()
{
    QFETCH(QByteArray, msg);
    MsgFields fld{"old1", "old2", "old4", "old5", "old6"};
    SpeedBuffer buf{};
    QVERIFY(Parse_Msg(msg, fld, buf, 7));
    QTEST(fld.Fld1, "fld1");
    QTEST(fld.Fld2, "fld2");
    QTEST(buf[7], "speed");
    QTEST(fld.Fld4, "fld4");
    QTEST(fld.Fld5, "fld5");
    QTEST(fld.Fld6, "fld6");
    for (int i = 0; i < int(buf.size()); ++i)
        if (i != 7)
            QCOMPARE(buf[i], 0.0);
}

void tst_parser::badSpeedChangesNothing_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::newRow("empty") << QByteArray("\x02Q,156,,M,00,\r\n");
    QTest::newRow("not a number") << QByteArray("\x02Q,156,abc,M,00,\r\n");
    QTest::newRow("overflow") << QByteArray("\x02Q,156,1e999,M,00,\r\n");
    QTest::newRow("nan") << QByteArray("\x02Q,156,nan,M,00,\r\n");
    QTest::newRow("blank inside") << QByteArray("\x02Q,156,1 .5,M,00,\r\n");
    QTest::newRow("only CR separator") << QByteArray("\x02Q 156 000.05 M 00\r\n");
}

void tst_parser::badSpeedChangesNothing()
{
    QFETCH(QByteArray, msg);
    MsgFields fld{"a", "b", "d", "e", "f"};
    SpeedBuffer buf{};
    buf[3] = 9.5;
    QVERIFY(!Parse_Msg(msg, fld, buf, 3));
    QCOMPARE(buf[3], 9.5);
    QCOMPARE(fld.Fld1, QByteArray("a"));
    QCOMPARE(fld.Fld2, QByteArray("b"));
    QCOMPARE(fld.Fld4, QByteArray("d"));
}

void tst_parser::missingFieldsKeepOlderValues()
{
    MsgFields fld;
    SpeedBuffer buf{};
    QVERIFY(Parse_Msg("\x02Q,100,001.00,M,00,X\r\n", fld, buf, 1));
    QVERIFY(Parse_Msg("\x02R,200,002.00,N\r\n", fld, buf, 2));
    QCOMPARE(fld.Fld1, QByteArray("\x02R"));
    QCOMPARE(fld.Fld2, QByteArray("200"));
    QCOMPARE(fld.Fld4, QByteArray("N"));
    QCOMPARE(fld.Fld5, QByteArray("00"));
    QCOMPARE(fld.Fld6, QByteArray("X"));
    QCOMPARE(buf[2], 2.0);
}

void tst_parser::speedIgnoresLocale()
{
    // A machine set up for a comma decimal separator reads the sensor alike.
    const char *old = std::setlocale(LC_ALL, nullptr);
    const QByteArray saved = old ? QByteArray(old) : QByteArray("C");
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    QLocale::setDefault(QLocale(QLocale::German));
    QCOMPARE(parseSpeed("0012.50"), std::optional<double>(12.5));
    QCOMPARE(parseSpeed("12,50"), std::nullopt);
    QLocale::setDefault(QLocale::c());
    std::setlocale(LC_ALL, saved.constData());
}

void tst_parser::slotOutsideWindowRefused()
{
    MsgFields fld;
    SpeedBuffer buf{};
    const QByteArray msg("\x02Q,1,005.00,M,00\r\n");
    QVERIFY(!Parse_Msg(msg, fld, buf, 0));
    QVERIFY(!Parse_Msg(msg, fld, buf, 65));
    QVERIFY(Parse_Msg(msg, fld, buf, 64));
    QCOMPARE(buf[64], 5.0);
}

void tst_parser::average()
{
    SpeedBuffer buf{};
    buf[1] = 1.0;
    buf[2] = 2.0;
    buf[3] = 3.0;
    QCOMPARE(Window_Avg(buf, 3), 2.0);
    buf[1] = 6.0;
    QCOMPARE(Window_Avg(buf, 3), (6.0 + 2.0 + 3.0) / 3);

    // Slots past N never enter the mean, and no length reads past slot 64.
    SpeedBuffer wide{};
    for (int i = 1; i <= 30; ++i)
        wide[i] = i;
    wide[31] = 1000;
    QCOMPARE(Window_Avg(wide, 30), 15.5);
    wide.fill(2.0);
    QCOMPARE(Window_Avg(wide, 500), 2.0);
}

void tst_parser::checksum_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<bool>("ok");
    QTest::newRow("right") << QByteArray("\x02Q,156,000.05,M,00,\x03" "19\r\n") << true;
    QTest::newRow("lower-case hex") << QByteArray("\x02Q,229,000.08,M,00,\x03" "1f\r\n") << true;
    QTest::newRow("wrong") << QByteArray("\x02Q,156,000.05,M,00,\x03" "18\r\n") << false;
    QTest::newRow("speed digit hit on the line")
        << QByteArray("\x02Q,156,000.15,M,00,\x03" "19\r\n") << false;
    QTest::newRow("no ETX") << QByteArray("\x02Q,156,000.05,M,00,\r\n") << true;
    QTest::newRow("ETX without hex digits") << QByteArray("\x02Q,156,000.05,M,00,\x03\r\n") << true;
}

void tst_parser::checksum()
{
    QFETCH(QByteArray, msg);
    QTEST(Checksum_Ok(msg), "ok");
}

QTEST_APPLESS_MAIN(tst_parser)
#include "tst_parser.moc"
