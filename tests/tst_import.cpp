// SPDX-License-Identifier: GPL-3.0-or-later
#include "Adif.h"
#include "Import.h"
#include "KeyIndex.h"
#include "ReadAhead.h"
#include "SystemCalls.h"
#include "TestFiles.h"
#include "Transaction.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <deque>
#include <limits>

#include <cerrno>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavrelo;
using namespace tavrelo::adif;

namespace {

using testing::readFile;
using testing::writeFile;

// The log's lines, without their CR LF.
QStringList logLines(const QString& path) {
    QStringList lines = QString::fromUtf8(readFile(path)).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

const QByteArray contact = "<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:4>1205";

// A file that arrives a few bytes at a time, as from a pipe.
class Trickle : public QIODevice {
public:
    Trickle(const QByteArray& bytes, qint64 step) : bytes_(bytes), step_(step) {
        open(QIODevice::ReadOnly);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = std::min({maxSize, step_, qint64(bytes_.size()) - at_});
        std::memcpy(data, bytes_.constData() + at_, size_t(n));
        at_ += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray bytes_;
    qint64 step_;
    qint64 at_ = 0;
};

// Everything a reader gives, as text: the records with their numbers,
// offsets and fields, then the count of values read as characters.
QString describe(const AdifRecord& r) {
    QString line = QStringLiteral("%1@%2%3:").arg(r.number).arg(r.offset).arg(r.ended ? "" : "~");
    for (const AdifField& f : r.fields)
        line += QString::fromLatin1(f.name.toByteArray().toPercentEncoding()) + QLatin1Char('=') +
                QString::fromLatin1(f.data.toByteArray().toPercentEncoding()) + QLatin1Char(' ');
    return line;
}

QStringList readAll(AdifReader& reader) {
    QStringList out;
    AdifRecord r;
    while (reader.next(r))
        out << describe(r);
    out << QString::number(reader.valuesReadAsCharacters());
    return out;
}

// The same, each record looked at only `later` records on, its reader's
// buffer held until then: held buffers keep their bytes while the reader
// reads on, and the ones let go are read into again.
QStringList readAllHeld(AdifReader& reader, size_t later) {
    std::deque<std::pair<AdifRecord, std::shared_ptr<const QByteArray>>> waiting;
    QStringList out;
    AdifRecord r;
    while (reader.next(r)) {
        waiting.emplace_back(r, reader.hold());
        if (waiting.size() > later) {
            out << describe(waiting.front().first);
            waiting.pop_front();
        }
    }
    for (const auto& w : waiting)
        out << describe(w.first);
    out << QString::number(reader.valuesReadAsCharacters());
    return out;
}

} // namespace

class TestImport : public QObject {
    Q_OBJECT

private slots:
    // What real programs write, into an empty log: the lines it gives and
    // the counts added / duplicates / skipped / values read as characters.
    // Tag names come out in upper case, whatever their length and however
    // the file arrives; only the letters a to z change.
    void tagNames_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("one letter") << QByteArray("q") << QByteArray("Q");
        QTest::newRow("seven") << QByteArray("tx_Pwr7") << QByteArray("TX_PWR7");
        QTest::newRow("eight") << QByteArray("rst_sent") << QByteArray("RST_SENT");
        QTest::newRow("nine") << QByteArray("Prop_mode") << QByteArray("PROP_MODE");
        QTest::newRow("sixteen") << QByteArray("station_callsigN")
                                 << QByteArray("STATION_CALLSIGN");
        QTest::newRow("seventeen, last one small")
            << QByteArray("APP_TAVRELO_TESTx") << QByteArray("APP_TAVRELO_TESTX");
        QTest::newRow("around a and z") << QByteArray("`{az@[~0") << QByteArray("`{AZ@[~0");
        QTest::newRow("beyond ASCII") << QByteArray("na\xc3\xa9me") << QByteArray("NA\xc3\xa9ME");
    }
    void tagNames() {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, expected);
        const QByteArray adif = "<CALL:4>W1AW <" + name + ":3>x>y <Band:3>20m <EOR>\n";
        const auto check = [&](AdifReader& reader) {
            AdifRecord r;
            QVERIFY(reader.next(r));
            QCOMPARE(r.fields.size(), 3);
            QCOMPARE(r.fields[1].name.toByteArray(), expected);
            QCOMPARE(r.fields[1].data.toByteArray(), QByteArray("x>y"));
            QCOMPARE(r.fields[2].name.toByteArray(), QByteArray("BAND"));
        };
        AdifReader whole(adif);
        check(whole);
        for (const qint64 step : {1, 3, 7, 64}) {
            Trickle device(adif, step);
            AdifReader streamed(&device, 1);
            check(streamed);
        }
    }

    void reading_data() {
        QTest::addColumn<QByteArray>("adif");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QList<int>>("counts");
        const QList<int> one{1, 0, 0, 0};
        QTest::newRow("header, tags in any case")
            << QByteArray("Exported\n<adif_ver:5>3.1.4 <eoh>\n<call:5>ZZ9ZZ<qso_date:8>20240301"
                          "<Time_On:4>1205<band:3>40M<eor>")
            << QStringList{"2024-Mar-01,  12:05,  40m,  ZZ9ZZ,  ,  ,  ,  "} << one;
        QTest::newRow("no header, <F:L:T>, text between fields")
            << QByteArray("<CALL:5:S>ZZ9ZZ\r\n<QSO_DATE:8:D>20240301 text <TIME_ON:6>120533 "
                          "<RST_SENT:3>599<RST_RCVD:3>579 <EOR>\r\n")
            << QStringList{"2024-Mar-01,  12:05:33,  ,  ZZ9ZZ,  ,  ,  599,  579"} << one;
        QTest::newRow("UTF-8 mark, no header")
            << QByteArray("\xef\xbb\xbf") + contact + "<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  ,  ,  "} << one;
        QTest::newRow("header text with a stray <tag>")
            << QByteArray("Log of <my station>\n<PROGRAMID:3>abc\n<EOH>") + contact + "<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  ,  ,  "} << one;
        QTest::newRow("length 0") << contact + "<NAME:0><QTH:6>Berlin<EOR>"
                                  << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  Berlin,  ,  "}
                                  << one;
        QTest::newRow("byte lengths")
            << contact + "<NAME:5>J\xc3\xb6rg <EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Jörg,  ,  ,  "} << one;
        QTest::newRow("character lengths")
            << contact + "<NAME:4>J\xc3\xb6rg <QTH:4>K\xc3\xb6ln<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Jörg,  Köln,  ,  "}
            << QList<int>{1, 0, 0, 2};
        QTest::newRow("no <EOR> at the end")
            << contact + "<NAME:4>Hans"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Hans,  ,  ,  "} << one;
        QTest::newRow("separator and CR LF in a value")
            << contact + "<NAME:13>Smith,  J\r\nr.<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Smith, Jr.,  ,  ,  "} << one;
        QTest::newRow("character lengths, a 3-byte letter")
            << contact + "<NAME:3>A\xe2\x82\xac"
                         "B <QTH:2>ok<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  A€B,  ok,  ,  "}
            << QList<int>{1, 0, 0, 1};
        QTest::newRow("a tag with letters after its length is no field")
            << contact + "<NAME:4x>Hans<QTH:6>Berlin<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  Berlin,  ,  "} << one;
        QTest::newRow("<EOR:0> is a field, not the record's end")
            << contact + "<EOR:0><NAME:4>Hans<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Hans,  ,  ,  "} << one;
        QTest::newRow("a tag without a name or a length is no field")
            << contact + "<:4>Hans<NAME:>Otto<QTH:6>Berlin<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  Berlin,  ,  "} << one;
        QTest::newRow("a type after the length, the value after the tag's end")
            << contact + "<NAME:4:S >Hans<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Hans,  ,  ,  "} << one;
        QTest::newRow("FREQ at a band's lower edge")
            << contact + "<FREQ:6>14.000<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  ,  ,  ,  "} << one;
        QTest::newRow("FREQ at a band's upper edge")
            << contact + "<FREQ:6>14.350<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  ,  ,  ,  "} << one;
        QTest::newRow("BAND before FREQ")
            << contact + "<FREQ:5>7.074<BAND:3>20m<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  ,  ,  ,  "} << one;
        QTest::newRow("hour 24 is no time")
            << QByteArray("<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:4>2400<EOR>") << QStringList()
            << QList<int>{0, 0, 1, 0};
        QTest::newRow("the separator in a long value, past its first word")
            << contact + "<NAME:23>Johann Sebastian,  Bach<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Johann Sebastian, Bach,  ,  ,  "}
            << one;
        QTest::newRow("a comma alone in a long value")
            << contact + "<QTH:20>Berlin, Mitte, 10115<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  Berlin, Mitte, 10115,  ,  "} << one;
        QTest::newRow("a control character late in a long value")
            << contact + "<QTH:19>Berlin Mitte 1011\x01X<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  Berlin Mitte 1011X,  ,  "} << one;
        QTest::newRow("the separator at the very end of a value")
            << contact + "<NAME:8>Smith,  <EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Smith, ,  ,  ,  "} << one;
        QTest::newRow("control characters dropped, the separator they hid too")
            << contact + QByteArray("<NAME:6>A\0B\tC\x7f<QTH:5>x,\x01  <EOR>", 31)
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ABC,  x, ,  ,  "} << one;
        QTest::newRow("_INTL first, GRIDSQUARE without QTH, band of FREQ")
            << contact +
                   "<NAME:4>Jorg<NAME_INTL:5>J\xc3\xb6rg<GRIDSQUARE:6>JO62qm<FREQ:6>14.074<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  Jörg,  JO62qm,  ,  "} << one;
        QTest::newRow("duplicate within the file, to the minute")
            << QByteArray("<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:6>120510<EOR>"
                          "<CALL:5>zz9zz<QSO_DATE:8>20240301<TIME_ON:6>120550<EOR>"
                          "<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:6>120610<EOR>")
            << QStringList{"2024-Mar-01,  12:05:10,  ,  ZZ9ZZ,  ,  ,  ,  ",
                           "2024-Mar-01,  12:06:10,  ,  ZZ9ZZ,  ,  ,  ,  "}
            << QList<int>{2, 1, 0, 0};
        // Values that hold '<': a length in characters that a reading by
        // bytes would end right before " <", and the same in bytes.
        QTest::newRow("character lengths, a '<' in a value")
            << contact + "<NAME:13>J\xc3\xa1nos Nov\xc3\xa1k < <QTH:4>Gy\xc5\x91r <EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  János Novák <,  Győr,  ,  "}
            << QList<int>{1, 0, 0, 2};
        QTest::newRow("byte lengths, a '<' in a value")
            << contact + "<NAME:15>J\xc3\xa1nos Nov\xc3\xa1k < <QTH:5>Gy\xc5\x91r <EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  János Novák <,  Győr,  ,  "} << one;
        QTest::newRow("character lengths, a 4-byte character")
            << contact + "<NAME:5>Ann\xf0\x9f\x93\xbb< <QTH:3>Ulm <EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Ann📻<,  Ulm,  ,  "}
            << QList<int>{1, 0, 0, 1};
        QTest::newRow("a record that gives none between a contact and its duplicate")
            << contact + "<NAME:3>Bob<EOR>" + contact.left(13) + "<NAME:3>Sam<EOR>" + contact +
                   "<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Bob,  ,  ,  "}
            << QList<int>{1, 1, 1, 0};
        QTest::newRow("records that give no contact")
            << QByteArray("<QSO_DATE:8>20240301<TIME_ON:4>1205<EOR>") + contact.left(13) +
                   "<QSO_DATE:8>20241301<TIME_ON:4>1205<EOR>" + contact + "<BAND:3>11m<EOR>" +
                   contact + "<FREQ:5>27.12<EOR>" + contact.left(37) + "<TIME_ON:4>2461<EOR>"
            << QStringList() << QList<int>{0, 0, 5, 0};
    }
    void reading() {
        QFETCH(QByteArray, adif);
        QFETCH(QStringList, lines);
        QFETCH(QList<int>, counts);
        QTemporaryDir dir;
        writeFile(dir.filePath("in.adi"), adif);
        QStringList notes;
        const ImportSummary s = importAdif(dir.filePath("in.adi"), dir.filePath("Tavrelo.txt"),
                                           [&](const QString& n) { notes << n; });
        QVERIFY2(s.error.ok(), qPrintable(s.error.message()));
        QCOMPARE(logLines(dir.filePath("Tavrelo.txt")), lines);
        QCOMPARE((QList<int>{int(s.added), int(s.duplicates), int(s.skipped),
                             int(s.valuesReadAsCharacters)}),
                 counts);
        // Every skipped record and every duplicate is named.
        QCOMPARE(notes.size(), counts[1] + counts[2]);
        QCOMPARE(notes.filter(QRegularExpression("^record \\d+ \\(byte \\d+\\): skipped: ")).size(),
                 counts[2]);
        QCOMPARE(notes
                     .filter(QRegularExpression(
                         "^record \\d+ \\(byte \\d+\\): duplicate of the contact .+, not added"))
                     .size(),
                 counts[1]);
        // A duplicate names a contact of the log: its date, minute, band
        // and call.
        const auto keyOf = [](QStringList f) {
            f.resize(4);
            return f[0] + f[1].trimmed().left(5) + f[2].trimmed().toLower() +
                   f[3].trimmed().toUpper();
        };
        for (const QString& note : notes) {
            const QRegularExpressionMatch m =
                QRegularExpression("duplicate of the contact (.+), not added").match(note);
            if (!m.hasMatch())
                continue;
            const bool named = std::any_of(lines.begin(), lines.end(), [&](const QString& line) {
                return keyOf(line.split(",  ")) == keyOf(m.captured(1).split(' '));
            });
            QVERIFY2(named, qPrintable(note));
        }

        // Arriving in pieces of any size, down to one byte, so that each
        // record is cut at every place, the file gives the same records as
        // read whole.
        AdifReader whole(adif);
        const QStringList expected = readAll(whole);
        for (const qint64 step : {1, 2, 3, 5, 8, 13, 64}) {
            Trickle device(adif, step);
            AdifReader streamed(&device, 1);
            QCOMPARE(readAll(streamed), expected);
        }
        for (const size_t later : {size_t(1), size_t(5), std::numeric_limits<size_t>::max()}) {
            Trickle device(adif, 7);
            AdifReader streamed(&device, 16);
            QCOMPARE(readAllHeld(streamed, later), expected);
        }
        // The record built on the bytes is the one the boxes give.
        AdifReader again(adif);
        AdifRecord record;
        while (again.next(record)) {
            const Mapped m = mapRecord(record);
            QByteArray line, key, fieldsKey;
            QCOMPARE(appendContact(record, line, key), m.skipReason);
            if (!m.skipReason.isEmpty())
                continue;
            QCOMPARE(line, logfile::buildRecord(m.fields));
            contactKey(m.fields[0].toUtf8(), m.fields[1].toUtf8(), m.fields[2].toUtf8(),
                       m.fields[3].toUtf8(), fieldsKey);
            QCOMPARE(key, fieldsKey);
            QByteArray recordsKey;
            QVERIFY(recordKey(record, recordsKey));
            QCOMPARE(recordsKey, fieldsKey);
        }
    }

    // Running the same import twice adds nothing the second time, and a
    // contact already in the log is not added again, also where the log
    // holds it in Windows-1252 and the file in UTF-8.
    void duplicatesAgainstTheLog() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        const QByteArray old = "2024-Mar-01,  12:05:44,  40m,  zz9zz,  Hans,  ,  ,  \r\n"
                               "2024-Mar-03,  08:00,  20m,  DL\xd6X,  J\xf6rg,  ,  ,  \r\nno end";
        writeFile(log, old);
        writeFile(dir.filePath("in.adi"),
                  contact + "<BAND:3>40M<EOR>" +
                      "<CALL:4>DL1A<QSO_DATE:8>20240302<TIME_ON:4>0700<EOR>"
                      "<CALL:5>dl\xc3\xb6x<QSO_DATE:8>20240303<TIME_ON:6>080059<BAND:3>20m<EOR>");
        const auto quiet = [](const QString&) {};
        ImportSummary s = importAdif(dir.filePath("in.adi"), log, quiet);
        QCOMPARE(s.added, 1);
        QCOMPARE(s.duplicates, 2);
        const QByteArray after = old + "\r\n2024-Mar-02,  07:00,  ,  DL1A,  ,  ,  ,  \r\n";
        QCOMPARE(readFile(log), after);
        s = importAdif(dir.filePath("in.adi"), log, quiet);
        QCOMPARE(s.added, 0);
        QCOMPARE(s.duplicates, 3);
        QCOMPARE(readFile(log), after);
    }

    // A record's key comes from the first field of each name, wherever the
    // fields stand: the look along them may end early only where nothing
    // after could change the key.
    void recordKeys_data() {
        QTest::addColumn<QByteArray>("adif");
        QTest::addColumn<QByteArray>("key"); // empty: no key
        const QByteArray when = "<QSO_DATE:8>20240301 <TIME_ON:4>1205 ";
        QTest::newRow("key first") << when + "<BAND:3>40M <CALL:4>w1aw <NAME:3>Bob"
                                   << QByteArray("2024-mar-01|12:05|40m|W1AW");
        QTest::newRow("FREQ before a BAND of another band")
            << "<FREQ:6>14.074 <CALL:4>W1AW " + when + "<BAND:3>40m"
            << QByteArray("2024-mar-01|12:05|40m|W1AW");
        QTest::newRow("a blank BAND, FREQ after the rest")
            << "<BAND:1>  <CALL:4>W1AW " + when + "<NAME:3>Bob <FREQ:6>14.074"
            << QByteArray("2024-mar-01|12:05|20m|W1AW");
        QTest::newRow("no BAND, FREQ last")
            << "<CALL:4>W1AW " + when + "<FREQ:5>7.074" << QByteArray("2024-mar-01|12:05|40m|W1AW");
        QTest::newRow("a second CALL after the key")
            << "<CALL:4>W1AW " + when + "<BAND:3>20m <CALL:4>K1ZZ"
            << QByteArray("2024-mar-01|12:05|20m|W1AW");
        QTest::newRow("a second BAND after the key")
            << "<CALL:4>W1AW " + when + "<BAND:3>20m <BAND:3>40m"
            << QByteArray("2024-mar-01|12:05|20m|W1AW");
        QTest::newRow("a blank CALL first")
            << "<CALL:0> " + when + "<BAND:3>20m <CALL:4>W1AW" << QByteArray();
    }
    void recordKeys() {
        QFETCH(QByteArray, adif);
        QFETCH(QByteArray, key);
        AdifReader reader{QByteArrayView(adif + " <EOR>")};
        AdifRecord record;
        QVERIFY(reader.next(record));
        QByteArray made;
        QCOMPARE(recordKey(record, made), !key.isEmpty());
        if (!key.isEmpty())
            QCOMPARE(made, key);
    }

    // The index of keys against QHash: short and long keys, the empty one,
    // keys longer than a block of the set.
    void keyIndex() {
        KeyIndex numbered;
        QSet<QByteArray> reference;
        QHash<QByteArray, qsizetype> numbers; // in the order keys first came
        QRandomGenerator rng(3);
        QList<QByteArray> keys;
        for (int i = 0; i < 200000; ++i)
            keys << QByteArray::number(rng.bounded(120000)) +
                        QByteArray(rng.bounded(4) ? 0 : rng.bounded(300), 'x');
        keys << QByteArray() << QByteArray(5 << 20, 'L') << QByteArray(5 << 20, 'L')
             << QByteArray((5 << 20) + 1, 'L') << "after the long ones";
        for (const QByteArray& k : std::as_const(keys)) {
            if (!reference.contains(k))
                numbers.insert(k, numbers.size());
            reference.insert(k);
            QCOMPARE(numbered.insert(k), numbers.value(k));
        }
        QCOMPARE(numbered.size(), reference.size());
        for (auto it = numbers.cbegin(); it != numbers.cend(); ++it)
            QCOMPARE(numbered.indexOf(it.key()), it.value());
        QCOMPARE(numbered.indexOf("120001"), qsizetype(-1));
    }

    // Batches read ahead come in order, with the maker's error; the taking
    // side may stop at any time, also while the maker waits to hand one
    // over, and batches given back are filled again.
    void readAhead_data() {
        QTest::addColumn<int>("batches");
        QTest::addColumn<int>("taken"); // how many are taken before stopping
        QTest::newRow("all, and the end") << 50 << 50;
        QTest::newRow("stopped after a few, the maker waiting") << 50 << 3;
        QTest::newRow("stopped at once") << 50 << 0;
        QTest::newRow("none made") << 0 << 0;
    }
    void readAhead() {
        QFETCH(int, batches);
        QFETCH(int, taken);
        struct Numbers {
            std::vector<int> values;
            void clear() { values.clear(); }
        };
        {
            ReadAhead<Numbers> ahead(
                [&](ReadAhead<Numbers>& a) {
                    for (int i = 0; i < batches; ++i) {
                        std::unique_ptr<Numbers> b = a.spare();
                        b->values.assign(100, i);
                        if (!a.hand(std::move(b)))
                            return QStringLiteral("stopped");
                    }
                    return QStringLiteral("the end");
                },
                2);
            for (int i = 0; i < taken; ++i) {
                std::unique_ptr<Numbers> b = ahead.take();
                QVERIFY(b);
                QCOMPARE(b->values.size(), size_t(100));
                QCOMPARE(b->values.front(), i);
                ahead.giveBack(std::move(b));
            }
            if (taken == batches) {
                QVERIFY(!ahead.take());
                QCOMPARE(ahead.error(), QStringLiteral("the end"));
                // A batch given back comes out again emptied, its memory
                // kept (once those given back before are out).
                for (int i = 0; i < 2; ++i)
                    ahead.spare();
                auto last = std::make_unique<Numbers>();
                last->values.assign(100, 7);
                const int* memory = last->values.data();
                ahead.giveBack(std::move(last));
                const std::unique_ptr<Numbers> again = ahead.spare();
                QVERIFY(again->values.empty());
                QCOMPARE(again->values.data(), memory);
            }
        }
    }

    // Killed while it reads the file, after half of it, the import has
    // written nothing: the log is as it was, and nothing is left behind.
    void killedMidwayLeavesTheLogAsItWas() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        const QByteArray fifo = QFile::encodeName(dir.filePath("in.adi"));
        writeFile(log, "old\r\n");
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        // The import reads standard input ("-"), fed through the FIFO, which
        // this end holds open for writing so that it never ends.
        const int fd = ::open(fifo.constData(), O_RDWR);
        QVERIFY(fd >= 0);
        QProcess p;
        p.setStandardInputFile(QFile::decodeName(fifo));
        p.start(QStringLiteral(TAVRELO_ADIF), {"--import", "-", log});
        QVERIFY(p.waitForStarted());
        QByteArray half;
        for (int i = 0; i < 20000; ++i)
            half += QStringLiteral("<CALL:6>ZZ%1<QSO_DATE:8>20240301<TIME_ON:4>1205<EOR>\n")
                        .arg(i, 4, 10, QLatin1Char('0'))
                        .toLatin1();
        QCOMPARE(::write(fd, half.constData(), size_t(half.size())), half.size());
        int unread = 1;
        for (int i = 0; i < 1000 && unread > 0; ++i) {
            QCOMPARE(::ioctl(fd, FIONREAD, &unread), 0);
            if (unread > 0)
                QTest::qWait(10);
        }
        QCOMPARE(unread, 0); // it has read all of it and waits for the rest
        p.kill();
        QVERIFY(p.waitForFinished());
        ::close(fd);
        QCOMPARE(readFile(log), QByteArray("old\r\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System | QDir::Hidden),
                 (QStringList{"in.adi", "Tavrelo.txt"}));
    }

    // All or nothing: a sync that fails takes the whole batch out again, and
    // the log is exactly as before.
    void failedSyncLeavesTheLogAsItWas() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "old\r\n");
        QByteArray adif;
        for (int i = 0; i < 500; ++i)
            adif += QStringLiteral("<CALL:5>ZZ%1<QSO_DATE:8>20240301<TIME_ON:4>1205<EOR>\n")
                        .arg(i, 3, 10, QLatin1Char('0'))
                        .toLatin1();
        writeFile(dir.filePath("in.adi"), adif);
        logfile::systemCalls().fdatasync = [](int) {
            errno = EIO;
            return -1;
        };
        const ImportSummary s = importAdif(dir.filePath("in.adi"), log, [](const QString&) {});
        logfile::systemCalls() = {};
        QCOMPARE(s.error.error, EIO);
        QCOMPARE(s.added, 0);
        QCOMPARE(readFile(log), QByteArray("old\r\n"));
    }

    // Exporting a log and importing the result into an empty log gives the
    // same lines back.
    void roundTrip() {
        QRandomGenerator rng(7);
        const char* bands[] = {"160m", "80m", "40m", "20m", "15m", "10m", "6m", "2m", "70cm", ""};
        QByteArray log;
        for (int i = 0; i < 2000; ++i) {
            const QDate d = QDate(1990, 1, 1).addDays(rng.bounded(13000));
            const QString time = QTime(0, 0)
                                     .addSecs(rng.bounded(86400))
                                     .toString(rng.bounded(3) ? QStringLiteral("HH:mm:ss")
                                                              : QStringLiteral("HH:mm"));
            logfile::Fields f{d.toString(QStringLiteral("yyyy-")) +
                                  QLocale::c().monthName(d.month(), QLocale::ShortFormat) +
                                  d.toString(QStringLiteral("-dd")),
                              time,
                              QString::fromLatin1(bands[rng.bounded(10)]),
                              QStringLiteral("ZZ%1ABC").arg(i),
                              rng.bounded(2) ? QStringLiteral("Hans") : QString(),
                              QStringLiteral("Town %1, North").arg(i),
                              QStringLiteral("59"),
                              QStringLiteral("599")};
            log += logfile::buildRecord(f);
        }
        QTemporaryDir dir;
        writeFile(dir.filePath("Tavrelo.txt"), log);
        QByteArray adi;
        const ExportSummary e = exportLog(
            dir.filePath("Tavrelo.txt"), "CW", QDateTime::currentDateTimeUtc(), "1.0.0",
            [&](const QByteArray& b) {
                adi += b;
                return 0;
            },
            [](const QString&) {});
        QCOMPARE(e.written, 2000);
        writeFile(dir.filePath("out.adi"), adi);
        const ImportSummary s =
            importAdif(dir.filePath("out.adi"), dir.filePath("new.txt"), [](const QString&) {});
        QCOMPARE(s.added, 2000);
        QCOMPARE(readFile(dir.filePath("new.txt")), log);
        // The mode each record came with is kept beside the log, and the
        // export gives it back.
        QVERIFY(s.fieldsNotKept.isEmpty());
        QCOMPARE(s.records, 2000);
        QByteArray again;
        exportLog(
            dir.filePath("new.txt"), QByteArray(), QDateTime::currentDateTimeUtc(), "1.0.0",
            [&](const QByteArray& b) {
                again += b;
                return 0;
            },
            [](const QString&) {});
        QCOMPARE(again.count("<MODE:2>CW"), 2000);
    }

    // What is not a regular file is refused at once, never read: a FIFO
    // with no writer would wait forever, a device would never end.
    void hostileInputs_data() {
        QTest::addColumn<QString>("input"); // "fifo" for a FIFO made by the test
        QTest::addColumn<QString>("says");
        QTest::newRow("a FIFO without a writer") << "fifo"
                                                 << "FIFO";
        QTest::newRow("/dev/zero") << "/dev/zero"
                                   << "character device";
        QTest::newRow("/dev/urandom") << "/dev/urandom"
                                      << "character device";
        QTest::newRow("a folder") << "/tmp"
                                  << "folder";
    }
    void hostileInputs() {
        QFETCH(QString, input);
        QFETCH(QString, says);
        QTemporaryDir dir;
        if (input == "fifo") {
            input = dir.filePath("in.adi");
            QCOMPARE(::mkfifo(QFile::encodeName(input).constData(), 0600), 0);
        }
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "old\r\n");
        QProcess p;
        p.start(QStringLiteral(TAVRELO_ADIF), {"--import", input, log});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains(says.toLatin1()), err.constData());
        QCOMPARE(readFile(log), QByteArray("old\r\n"));
    }

    // However many records are skipped, a hundred are named, then counted.
    void notesAreCapped() {
        QTemporaryDir dir;
        writeFile(dir.filePath("in.adi"), QByteArray("<CALL:3>ABC<EOR>").repeated(250));
        QProcess p;
        p.start(QStringLiteral(TAVRELO_ADIF),
                {"--import", dir.filePath("in.adi"), dir.filePath("Tavrelo.txt")});
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(err.count("skipped: "), 100);
        QVERIFY2(err.contains("and 150 more like these"), err.constData());
    }

    // The command's last line and exit status.
    void command_data() {
        QTest::addColumn<QByteArray>("adif");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("added") << contact + "<EOR>" << 0
                               << "1 contacts added, 0 duplicates skipped, 0 records skipped";
        QTest::newRow("a record skipped")
            << contact + "<EOR><CALL:3>ABC<EOR>" << 1
            << "1 contacts added, 0 duplicates skipped, 1 records skipped";
        QTest::newRow("no file") << QByteArray() << 2 << "";
    }
    void command() {
        QFETCH(QByteArray, adif);
        QFETCH(int, exitCode);
        QFETCH(QString, lastLine);
        QTemporaryDir dir;
        if (!adif.isEmpty())
            writeFile(dir.filePath("in.adi"), adif);
        QProcess p;
        p.start(QStringLiteral(TAVRELO_ADIF),
                {"--import", dir.filePath("in.adi"), dir.filePath("Tavrelo.txt")});
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitCode(), exitCode);
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        QCOMPARE(out.section(QLatin1Char('\n'), -1), lastLine);
        if (exitCode == 2)
            QVERIFY(p.readAllStandardError().contains("Could not read the ADIF file"));
    }
};

QTEST_GUILESS_MAIN(TestImport)
#include "tst_import.moc"
