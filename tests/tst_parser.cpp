#include "acquisition/parse_msg.h"
#include "common/speedwindow.h"

#include <QLocale>
#include <QTest>

#include <clocale>
#include <limits>

namespace {
QByteArrayList fields(const MsgFields &f)
{
    return {f.Fld1, f.Fld2, f.Fld4, f.Fld5, f.Fld6};
}
} // namespace

class tst_parser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("msg");
        QTest::addColumn<QByteArrayList>("fields"); // 1, 2, 4, 5 and 6
        QTest::addColumn<double>("speed");
        QTest::newRow("sensor message with checksum") << QByteArray("\x02Q,156,000.05,M,00,\x03"
                                                                    "19\r\n")
                                                      << QByteArrayList{"\x02Q", "156", "M", "00",
                                                                        "\x03"
                                                                        "19"}
                                                      << 0.05;
        QTest::newRow("two commas give an empty field")
            << QByteArray("\x02Q,,012.00,M,,Z\r") << QByteArrayList{"\x02Q", "", "M", "", "Z"} << 12.0;
        QTest::newRow("text after CR never reaches a field")
            << QByteArray("\x02Q,1,2.5,D,E,F\rG,H,I") << QByteArrayList{"\x02Q", "1", "D", "E", "F"} << 2.5;
        QTest::newRow("blanks around the speed")
            << QByteArray("\x02Q,229, 12 ,M,00,\r\n") << QByteArrayList{"\x02Q", "229", "M", "00", ""} << 12.0;
        QTest::newRow("fields past 6 ignored, signed speed")
            << QByteArray("\x02Q,9,-001.25,a,b,c,d,e\r\n") << QByteArrayList{"\x02Q", "9", "a", "b", "c"} << -1.25;
        QTest::newRow("missing fields keep older values")
            << QByteArray("\x02R,200,002.00,N\r\n") << QByteArrayList{"\x02R", "200", "N", "old5", "old6"} << 2.0;
        QTest::newRow("exponent, the largest double")
            << QByteArray("\x02Q,1,1.7976931348623157e308,M\r\n") << QByteArrayList{"\x02Q", "1", "M", "old5", "old6"}
            << std::numeric_limits<double>::max();
    }
    void parse()
    {
        QFETCH(QByteArray, msg);
        QFETCH(double, speed);
        MsgFields fld{"old1", "old2", "old4", "old5", "old6"};
        SpeedBuffer buf{}, expected{};
        expected[64] = speed; // the last slot of the window, and no other
        QVERIFY(Parse_Msg(msg, fld, buf, 64));
        QTEST(fields(fld), "fields");
        QCOMPARE(buf, expected);
    }

    // No speed, no change: fields and window stay as they were.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("msg");
        QTest::addColumn<int>("slot");
        QTest::newRow("empty speed") << QByteArray("\x02Q,156,,M,00,\r\n") << 3;
        QTest::newRow("overflow") << QByteArray("\x02Q,156,1e999,M,00,\r\n") << 3;
        QTest::newRow("nan") << QByteArray("\x02Q,156,nan,M,00,\r\n") << 3;
        QTest::newRow("blank inside") << QByteArray("\x02Q,156,1 .5,M,00,\r\n") << 3;
        QTest::newRow("no comma: no field 3") << QByteArray("\x02Q 156 000.05 M 00\r\n") << 3;
        QTest::newRow("NUL in a field") << QByteArray("\x02Q,156,000.05,M,0") + '\0'
                + "0,\x03"
                  "19\r\n" << 3;
        QTest::newRow("escape in a field") << QByteArray("\x02Q,1\x1b[2J56,000.05,M,00,\r\n") << 3;
        QTest::newRow("ETX that opens no checksum") << QByteArray("\x02Q,156,000.05,M,00\x03,\r\n") << 3;
        QTest::newRow("checksum in a field the record carries") << QByteArray("\x02Q,156,000.05,\x03"
                                                                              "19\r\n")
                                                                << 3;
        QTest::newRow("LF after an early CR reaches field 4") << QByteArray("\x02Q,156,000.05\r\n,M\r\n") << 3;
        QTest::newRow("slot 0") << QByteArray("\x02Q,1,005.00,M,00\r\n") << 0;
        QTest::newRow("slot 65") << QByteArray("\x02Q,1,005.00,M,00\r\n") << 65;
    }
    void refused()
    {
        QFETCH(QByteArray, msg);
        QFETCH(int, slot);
        MsgFields fld{"a", "b", "d", "e", "f"};
        SpeedBuffer buf{};
        buf.fill(9.5);
        const SpeedBuffer before = buf;
        QVERIFY(!Parse_Msg(msg, fld, buf, slot));
        QCOMPARE(fields(fld), (QByteArrayList{"a", "b", "d", "e", "f"}));
        QCOMPARE(buf, before);
    }

    void speedIgnoresLocale()
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

    void average()
    {
        // Slots past N never enter the mean, and no length reads past slot 64.
        SpeedBuffer buf{};
        for (int i = 1; i <= 30; ++i)
            buf[i] = i;
        buf[31] = 1000;
        QCOMPARE(Window_Avg(buf, 30), 15.5);
        buf.fill(2.0);
        QCOMPARE(Window_Avg(buf, 500), 2.0);
        // Speeds whose sum overflows a double still have a mean, as close as a double gets.
        const double max = std::numeric_limits<double>::max(), want = 1e308 / 3 * 2 + max / 3;
        buf = {0, 1e308, 1e308, max};
        QVERIFY2(qAbs(Window_Avg(buf, 3) - want) <= want * 1e-15, qPrintable(QString::number(Window_Avg(buf, 3))));
    }

    void checksum_data()
    {
        QTest::addColumn<QByteArray>("msg");
        QTest::addColumn<bool>("ok");
        QTest::newRow("right") << QByteArray("\x02Q,156,000.05,M,00,\x03"
                                             "19\r\n")
                               << true;
        // Both ways: lower-case digits that were not read as hex would let the wrong one pass.
        QTest::newRow("lower-case hex") << QByteArray("\x02Q,229,000.08,M,00,\x03"
                                                      "1f\r\n")
                                        << true;
        QTest::newRow("lower-case hex, wrong") << QByteArray("\x02Q,229,000.08,M,00,\x03"
                                                             "1e\r\n")
                                               << false;
        QTest::newRow("a speed digit hit on the line") << QByteArray("\x02Q,156,000.15,M,00,\x03"
                                                                     "19\r\n")
                                                       << false;
        QTest::newRow("no ETX") << QByteArray("\x02Q,156,000.05,M,00,\r\n") << true;
        QTest::newRow("ETX without hex digits") << QByteArray("\x02Q,156,000.05,M,00,\x03\r\n") << true;
    }
    void checksum()
    {
        QFETCH(QByteArray, msg);
        QTEST(Checksum_Ok(msg), "ok");
    }
};

QTEST_APPLESS_MAIN(tst_parser)
#include "tst_parser.moc"
