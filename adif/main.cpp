// SPDX-License-Identifier: GPL-3.0-or-later
// tavrelo-adif: converts a Tavrelo log to an ADIF file for upload to
// confirmation services and for other logging programs.
#include "Adif.h"
#include "BlockWriter.h"
#include "CommandLine.h"
#include "CountryFile.h"
#include "Import.h"
#include "LogFile.h"
#include "Lotw.h"
#include "Merge.h"
#include "OpenLog.h"
#include "Transaction.h"
#include "WebLog.h"
#include "WorkedLog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

const char description[] =
    "Converts a Tavrelo log to ADIF 3.1.4 (.adi), one record per contact.\n"
    "\n"
    "Lines that give no contact (a wrong number of fields, a date or time that\n"
    "does not parse, a band ADIF does not know) are listed on standard error with\n"
    "their line number, and skipped.\n"
    "\n"
    "Exit status: 0 every line converted; 1 some lines skipped; 2 the log could\n"
    "not be read, the output not written, or the command line is wrong.\n"
    "\n"
    "With --import FILE.adi it appends the contacts of an ADIF file to the log\n"
    "instead, all at once and synced; a contact whose date, UTC to the minute,\n"
    "band and call are in the log already is skipped as a duplicate. Exit status:\n"
    "0 every record added or a duplicate; 1 some records skipped; 2 the file could\n"
    "not be read or the log not written (the log is then as it was).";

int fail(const QString& message) {
    std::fprintf(stderr, "tavrelo-adif: %s\n", qPrintable(message));
    return 2;
}

int fail(const tavrelo::OsError& error) {
    return fail(error.message());
}

// The error of a QSaveFile or QFile call that just failed, in Qt's words.
tavrelo::OsError fileError(const QString& action, const QFileDevice& file, const QString& name) {
    return tavrelo::OsError::because(action, name, file.errorString());
}

// An output file is refused when it is the log itself, by whatever name
// (a relative path, a symlink or a hard link), or not a regular file.
std::optional<tavrelo::OsError> refusedOutput(const QString& outPath, const QString& logPath) {
    const QString action = QStringLiteral("write the ADIF file");
    const tavrelo::logfile::OutputCheck check = tavrelo::logfile::checkOutput(outPath, logPath);
    if (!check.notRegular.isEmpty())
        return tavrelo::OsError::because(
            action, outPath,
            check.notRegular + QStringLiteral("; leave out -o to write to standard output"));
    if (check.isTheLog)
        return tavrelo::OsError::because(
            action, outPath,
            QStringLiteral("It is the log %1 itself, which it would replace; the log is unchanged")
                .arg(QDir::toNativeSeparators(logPath)));
    return std::nullopt;
}

// Notes on records and lines: the first hundred, then only how many more.
class Notes {
public:
    static constexpr qsizetype Shown = 100;
    void operator()(const QString& note) {
        if (++count_ <= Shown)
            std::fprintf(stderr, "%s\n", qPrintable(note));
    }
    // Notes that were only counted.
    void leftOut(qsizetype n) { count_ += n; }
    ~Notes() {
        if (count_ > Shown)
            std::fprintf(stderr, "tavrelo-adif: and %lld more like these, not shown\n",
                         (long long)(count_ - Shown));
    }

private:
    qsizetype count_ = 0;
};

// tavrelo-adif --import: the contacts of an ADIF file appended to the log.
int importInto(const QString& adifPath, const QString& logPath) {
    tavrelo::adif::ImportSummary s;
    {
        Notes notes;
        s = tavrelo::adif::importAdif(
            adifPath, logPath, [&notes](const QString& note) { notes(note); }, Notes::Shown);
        notes.leftOut(s.notesLeftOut);
    }
    if (!s.recoveryNote.isEmpty())
        std::fprintf(stderr, "tavrelo-adif: %s\n", qPrintable(s.recoveryNote));
    if (!s.error.ok())
        return fail(s.error.message() + QStringLiteral("\nThe log is as it was."));
    if (s.lastRecordUnended)
        std::fputs("tavrelo-adif: note: the file's last record has no <EOR>; it was read all the "
                   "same\n",
                   stderr);
    if (s.valuesReadAsCharacters > 0)
        std::fprintf(stderr,
                     "tavrelo-adif: note: %lld values were read with their lengths in characters, "
                     "as the program that wrote the file counts them\n",
                     (long long)s.valuesReadAsCharacters);
    if (!s.fieldsNotKept.isEmpty())
        std::fprintf(stderr, "tavrelo-adif: note: fields with no box in the log, not kept: %s\n",
                     qPrintable(s.fieldsNotKept.join(QStringLiteral(", "))));
    if (s.duplicatesAddingFields > 0)
        std::fprintf(stderr,
                     "tavrelo-adif: note: %lld duplicates added fields that their contact's "
                     "record lacked\n",
                     (long long)s.duplicatesAddingFields);
    std::printf("%lld contacts added, %lld duplicates skipped, %lld records skipped\n",
                (long long)s.added, (long long)s.duplicates, (long long)s.skipped);
    return s.skipped > 0 ? 1 : 0;
}

// tavrelo-adif --merge: another Tavrelo log, and its fields file, brought in.
int mergeInto(const QString& named, const QString& logPath) {
    // A link the operator named is followed here, once; the merge itself
    // reads only regular files.
    const QString canonical = QFileInfo(named).canonicalFilePath();
    const QString otherLog = canonical.isEmpty() ? named : canonical;
    const tavrelo::logfile::OutputCheck same = tavrelo::logfile::checkOutput(otherLog, logPath);
    if (same.isTheLog)
        return fail(QStringLiteral("%1 is the log itself; nothing to merge").arg(otherLog));
    tavrelo::logfile::LogTransaction log(logPath, tavrelo::adif::recordIdentity);
    if (const tavrelo::OsError e = log.begin(); !e.ok())
        return fail(e.message() + QStringLiteral("\nThe log is as it was."));
    if (!log.recoveryNote().isEmpty())
        std::fprintf(stderr, "tavrelo-adif: %s\n", qPrintable(log.recoveryNote()));
    tavrelo::logfile::MergeSummary summary;
    tavrelo::logfile::Merger merger(log, logPath, tavrelo::adif::recordIdentity);
    const bool merged = merger.mergeLog(otherLog, tavrelo::logfile::fieldsPath(otherLog), summary);
    if (merged && QFile::exists(tavrelo::logfile::fieldsPath(otherLog)))
        merger.mergeFields(tavrelo::logfile::fieldsPath(otherLog), summary);
    for (const QString& why : std::as_const(summary.refused))
        std::fprintf(stderr, "tavrelo-adif: not merged: %s\n", qPrintable(why));
    if (!merged)
        return 2;
    if (const tavrelo::OsError e = log.commit(); !e.ok())
        return fail(e.message() + QStringLiteral("\nThe log is as it was."));
    std::printf("%lld contacts added, %lld duplicates skipped, 0 records skipped\n",
                (long long)summary.added, (long long)summary.duplicates);
    return summary.refused.isEmpty() ? 0 : 1;
}

// The country file for the log, read; null, with a note, when there is none.
std::unique_ptr<tavrelo::dxcc::CountryFile> countriesFor(const QString& logPath) {
    QString note;
    auto countries = tavrelo::dxcc::openCountryFile(logPath, note);
    std::fprintf(stderr, "tavrelo-adif: %s\n", qPrintable(note));
    return countries;
}

// tavrelo-adif --entity: who the calls are, one tab-separated line each.
int printEntities(const QStringList& values, const QString& logPath) {
    const auto countries = countriesFor(logPath);
    if (!countries)
        return fail(QStringLiteral("The entities cannot be told without a country file"));
    for (const QString& value : values) {
        for (const QString& call :
             value.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
            const tavrelo::dxcc::Resolution r = countries->resolve(call);
            const QString line = r.entity ? QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
                                                .arg(call.toUpper())
                                                .arg(r.entity->dxcc)
                                                .arg(r.entity->name)
                                                .arg(r.cq)
                                                .arg(r.itu)
                                                .arg(r.continent)
                                          : QStringLiteral("%1\t\t\t\t\t").arg(call.toUpper());
            std::printf("%s\n", line.toUtf8().constData());
        }
    }
    return 0;
}

// tavrelo-adif --worked: the entities worked and confirmed, per band and
// per mode, as text or CSV.
int printWorked(const QString& logPath, bool csv) {
    const auto countries = countriesFor(logPath);
    if (!countries)
        return fail(QStringLiteral("The entities cannot be told without a country file"));
    tavrelo::dxcc::WorkedIndex index;
    if (const tavrelo::OsError e = tavrelo::adif::readWorked(logPath, *countries, index); !e.ok())
        return fail(e);
    const auto sorted = [](const QSet<QByteArray>& set) {
        QStringList list;
        for (const QByteArray& v : set)
            list << QString::fromUtf8(v);
        list.sort();
        return list;
    };
    QString text = csv ? QStringLiteral("dxcc,entity,kind,value,confirmed\n") : QString();
    int confirmedEntities = 0;
    for (const auto& [dxcc, e] : index.entities()) {
        const QString name = countries->entityName(dxcc);
        confirmedEntities += e.confirmed;
        if (!csv) {
            text += QStringLiteral("%1\t%2\tbands %3 (confirmed %4)\tmodes %5 (confirmed %6)\n")
                        .arg(dxcc)
                        .arg(name, sorted(e.bands).join(' '), sorted(e.confirmedBands).join(' '),
                             sorted(e.modes).join(' '), sorted(e.confirmedModes).join(' '));
            continue;
        }
        const QString quoted = QLatin1Char('"') + QString(name).replace('"', "\"\"") + '"';
        for (const QString& b : sorted(e.bands))
            text += QStringLiteral("%1,%2,band,%3,%4\n")
                        .arg(dxcc)
                        .arg(quoted, b, e.confirmedBands.contains(b.toUtf8()) ? "Y" : "N");
        for (const QString& m : sorted(e.modes))
            text += QStringLiteral("%1,%2,mode,%3,%4\n")
                        .arg(dxcc)
                        .arg(quoted, m, e.confirmedModes.contains(m.toUtf8()) ? "Y" : "N");
    }
    if (!csv)
        text += QStringLiteral("%1 entities worked, %2 confirmed\n")
                    .arg(index.entities().size())
                    .arg(confirmedEntities);
    std::fputs(text.toUtf8().constData(), stdout);
    return 0;
}

// tavrelo-adif --push: the log's contacts the web log lacks, sent.
int pushToWebLog(const QString& logPath, const QString& sinceText) {
    QString error;
    const QString path = tavrelo::upload::settingsPath();
    const tavrelo::upload::Settings settings = tavrelo::upload::readSettings(path, error);
    if (!error.isEmpty())
        return fail(error);
    if (!settings.hasWebLog())
        return fail(QStringLiteral("No web log is set up: give url, key and station_id in the "
                                   "group [weblog] of %1")
                        .arg(path));
    tavrelo::upload::PushScope scope;
    scope.sinceSetUp = false;
    if (!sinceText.isEmpty()) {
        scope.since = QDate::fromString(sinceText, Qt::ISODate);
        if (!scope.since.isValid())
            scope.since = QDate::fromString(sinceText, QStringLiteral("yyyyMMdd"));
        if (!scope.since.isValid())
            return fail(QStringLiteral("\"%1\" is not a date such as 2026-12-08").arg(sinceText));
    }
    const tavrelo::upload::PushSummary s =
        tavrelo::upload::push(logPath, settings, scope, [](const QString& note) {
            std::fprintf(stderr, "%s\n", qPrintable(note));
        });
    std::printf("%d contacts sent, %d already in the web log, %d refused, %d waiting\n", s.sent,
                s.duplicates, s.refused, s.waiting);
    for (const QString& why : s.reasons)
        std::printf("refused: %s\n", qPrintable(why));
    if (!s.stop.isEmpty())
        return fail(s.stop);
    return s.refused > 0 ? 1 : 0;
}

// tavrelo-adif --lotw: the contacts not yet sent to LoTW, signed and
// uploaded by tqsl (TAVRELO_TQSL names another program, for tests).
int sendToLotw(const QString& logPath) {
    QString error;
    const tavrelo::upload::Settings settings =
        tavrelo::upload::readSettings(tavrelo::upload::settingsPath(), error);
    if (!error.isEmpty())
        return fail(error);
    const QString tqsl = qEnvironmentVariable("TAVRELO_TQSL", QStringLiteral("tqsl"));
    const tavrelo::upload::LotwResult r =
        tavrelo::upload::sendToLotw(logPath, settings, tqsl, [](const QString& note) {
            std::fprintf(stderr, "tavrelo-adif: %s\n", qPrintable(note));
        });
    if (!r.finalStatus.isEmpty())
        std::fprintf(stderr, "tqsl: %s\n", qPrintable(r.finalStatus));
    if (!r.error.isEmpty())
        return fail(r.error);
    if (r.contacts == 0)
        return 0;
    std::printf("%d contacts sent to LoTW and marked sent%s\n", r.contacts,
                r.exitCode == 9 ? " (some LoTW had already)" : "");
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrelo-adif"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVRELO_VERSION));
    tavrelo::companion::CommandLine commandLine(QStringLiteral("tavrelo-adif"), description,
                                                QStringLiteral("read"));
    QCommandLineParser& parser = commandLine.parser();
    const QCommandLineOption outOption(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Write the ADIF file there, replaced only once it is complete; by default "
                       "it goes to standard output."),
        QStringLiteral("OUT.adi"));
    const QCommandLineOption modeOption(
        QStringLiteral("mode"),
        QStringLiteral("Give this mode to every contact whose record in the fields file has none "
                       "(an ADIF mode or submode: SSB, CW, FM, FT8, FT4, USB, ...): confirmation "
                       "services need a mode."),
        QStringLiteral("MODE"));
    const QCommandLineOption utf8Option(
        QStringLiteral("utf8"),
        QStringLiteral("Write values as UTF-8 with lengths in bytes, as most logging programs "
                       "read them: names, places and the international fields come out "
                       "exactly. By default the file is ASCII, for upload services."));
    const QCommandLineOption mergeOption(
        QStringLiteral("merge"),
        QStringLiteral("Append the lines of another Tavrelo log that the log lacks, byte for byte, "
                       "and the records of its fields file beside it: a lossless way to bring in "
                       "a log kept elsewhere."),
        QStringLiteral("OTHER_LOG"));
    const QCommandLineOption importOption(
        QStringLiteral("import"),
        QStringLiteral("Append the contacts of an ADIF file to the log instead (to LOG, or to the "
                       "log the window uses). Contacts already in the log are skipped."),
        QStringLiteral("FILE.adi"));
    const QCommandLineOption entityOption(
        QStringLiteral("entity"),
        QStringLiteral("Print who the calls are, one line each, tab-separated: the call, its DXCC "
                       "number, entity, CQ zone, ITU zone and continent. Calls may be given "
                       "separated by commas, or with the option again."),
        QStringLiteral("CALL"));
    const QCommandLineOption workedOption(
        QStringLiteral("worked"),
        QStringLiteral("Print the DXCC entities worked and confirmed, per band and per mode, as "
                       "a DXCC award application lists them."));
    const QCommandLineOption csvOption(QStringLiteral("csv"),
                                       QStringLiteral("With --worked: print CSV instead of text."));
    const QCommandLineOption pushOption(
        QStringLiteral("push"),
        QStringLiteral("Send the log's contacts that the web log set up in Tavrelo.conf lacks, "
                       "and say what was sent, what it had already and what it refused."));
    const QCommandLineOption sinceOption(
        QStringLiteral("since"), QStringLiteral("With --push: only contacts of that day or later."),
        QStringLiteral("DATE"));
    const QCommandLineOption lotwOption(
        QStringLiteral("lotw"),
        QStringLiteral("Sign and upload the contacts not yet sent to LoTW with tqsl, for the "
                       "station location of Tavrelo.conf, and mark them sent."));
    parser.addOptions({outOption, modeOption, utf8Option, importOption, mergeOption, entityOption,
                       workedOption, csvOption, pushOption, sinceOption, lotwOption});
    if (const auto done = commandLine.parse(app.arguments()))
        return *done;
    const QString logPath = commandLine.logPath();
    if (parser.isSet(entityOption))
        return printEntities(parser.values(entityOption), logPath);
    if (parser.isSet(lotwOption))
        return sendToLotw(logPath);
    if (parser.isSet(pushOption))
        return pushToWebLog(logPath, parser.value(sinceOption));
    if (parser.isSet(workedOption))
        return printWorked(logPath, parser.isSet(csvOption));
    if (parser.isSet(importOption))
        return importInto(parser.value(importOption), logPath);
    if (parser.isSet(mergeOption))
        return mergeInto(parser.value(mergeOption), logPath);
    const QString outPath = parser.value(outOption);
    tavrelo::adif::ExportOptions options;
    options.utf8 = parser.isSet(utf8Option);
    if (parser.isSet(modeOption)) {
        const auto m = tavrelo::adif::modeOf(parser.value(modeOption));
        if (!m)
            return fail(QStringLiteral("\"%1\" is neither an ADIF mode nor a submode")
                            .arg(parser.value(modeOption)));
        options.mode = *m;
    }
    const auto countries = countriesFor(logPath);
    options.countries = countries.get();

    if (!outPath.isEmpty()) {
        if (const auto refused = refusedOutput(outPath, logPath))
            return fail(*refused);
    }
    // A file is written under a fresh temporary name and renamed over the
    // output only once complete, so an earlier export is never left half
    // overwritten, and a failed export leaves nothing behind.
    QSaveFile file(outPath);
    QFile standardOutput;
    if (!outPath.isEmpty()) {
        if (!file.open(QIODevice::WriteOnly))
            return fail(fileError(QStringLiteral("create the ADIF file"), file, outPath));
    } else if (!standardOutput.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return fail(fileError(QStringLiteral("write the ADIF file"), standardOutput,
                              QStringLiteral("standard output")));
    }
    QFileDevice& output = outPath.isEmpty() ? static_cast<QFileDevice&>(standardOutput)
                                            : static_cast<QFileDevice&>(file);

    const QString writeAction = QStringLiteral("write the ADIF file");
    QString recoveryNote;
    if (const tavrelo::OsError e = tavrelo::logfile::recoverUnfinishedAppend(logPath, recoveryNote);
        !e.ok())
        return fail(e);
    if (!recoveryNote.isEmpty())
        std::fprintf(stderr, "tavrelo-adif: %s\n", qPrintable(recoveryNote));
    Notes notes;
    // A file goes to the disk as it is written, block by block, on a thread
    // of its own: it takes no room in the system's cache, and the sync of
    // its commit has little left to wait for.
    std::optional<tavrelo::logfile::SequentialWriter> toFile;
    if (!outPath.isEmpty())
        toFile.emplace(file.handle());
    int writeErrno = 0;
    const auto write = [&](const QByteArray& bytes) {
        if (toFile) {
            writeErrno = toFile->write(bytes.constData(), bytes.size());
            return writeErrno;
        }
        return output.write(bytes) == bytes.size() ? 0 : 1;
    };
    tavrelo::adif::ExportSummary summary = tavrelo::adif::exportLog(
        logPath, options, QDateTime::currentDateTimeUtc(), QStringLiteral(TAVRELO_VERSION), write,
        [&notes](const QString& note) { notes(note); });
    if (toFile && summary.writeError == 0)
        summary.writeError = writeErrno = toFile->finish();

    if (!summary.fieldsError.ok())
        return fail(summary.fieldsError);

    if (summary.read.status == tavrelo::logfile::ReadStatus::Missing)
        return fail(tavrelo::OsError::fromErrno(QStringLiteral("read the log"), logPath, ENOENT));
    if (summary.read.status == tavrelo::logfile::ReadStatus::Failed)
        return fail(summary.read.error);
    const QString outName = outPath.isEmpty() ? QStringLiteral("standard output") : outPath;
    if (writeErrno != 0)
        return fail(tavrelo::OsError::fromErrno(writeAction, outPath, writeErrno));
    if (summary.writeError != 0)
        return fail(fileError(writeAction, output, outName));
    if (!outPath.isEmpty() && !file.commit())
        return fail(fileError(writeAction, file, outName));
    if (summary.keptAsApplication > 0)
        std::fprintf(stderr,
                     "tavrelo-adif: note: %lld values that their standard fields cannot hold "
                     "were written as they came, under APP_TAVRELO_ fields\n",
                     (long long)summary.keptAsApplication);
    if (options.mode.mode.isEmpty() && summary.withoutMode > 0)
        std::fprintf(stderr,
                     "tavrelo-adif: note: %lld contacts have no mode; confirmation services "
                     "need one: give it with --mode\n",
                     (long long)summary.withoutMode);
    std::fprintf(stderr, "%lld contacts written, %lld lines skipped\n", (long long)summary.written,
                 (long long)summary.skipped);
    return summary.skipped > 0 ? 1 : 0;
}
