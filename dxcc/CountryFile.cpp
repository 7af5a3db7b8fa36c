// SPDX-License-Identifier: GPL-3.0-or-later
#include "CountryFile.h"

#include <bit>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace tavrelo::dxcc {

namespace {

QString readText(const QString& path, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error =
            QStringLiteral("Could not read the country file %1: %2").arg(path, file.errorString());
        return {};
    }
    return QString::fromLatin1(file.readAll());
}

// A suffix that says how, not where, a station works.
bool changesNothing(const QString& part) {
    static const QStringList suffixes = {QStringLiteral("P"), QStringLiteral("M"),
                                         QStringLiteral("QRP"), QStringLiteral("A")};
    return suffixes.contains(part) || (part.size() == 1 && part[0].isDigit());
}

} // namespace

bool CountryFile::load(const QString& datPath, QString& error) {
    const QString dat = readText(datPath, error);
    if (!error.isEmpty())
        return false;
    const QString csvPath = QFileInfo(datPath).dir().filePath(QStringLiteral("cty.csv"));
    const QString csv = readText(csvPath, error);
    if (!error.isEmpty())
        return false;
    // The DXCC numbers, by the entity's primary prefix.
    QHash<QString, int> numbers;
    for (const QString& line : csv.split(QLatin1Char('\n'))) {
        const QStringList f = line.split(QLatin1Char(','));
        if (f.size() > 3)
            numbers.insert(f[0].trimmed(), f[2].toInt());
    }
    static const QRegularExpression override(
        QStringLiteral(R"(\((\d+)\)|\[(\d+)\]|\{(\w+)\}|<[^>]*>|~[^~]*~)"));
    for (const QString& record : dat.split(QLatin1Char(';'))) {
        const QStringList head = record.split(QLatin1Char(':'));
        if (head.size() < 9)
            continue;
        Entity e;
        e.name = head[0].trimmed();
        e.cq = head[1].trimmed().toInt();
        e.itu = head[2].trimmed().toInt();
        e.continent = head[3].trimmed();
        e.primaryPrefix = head[7].trimmed();
        e.isDxcc = !e.primaryPrefix.startsWith(QLatin1Char('*'));
        e.dxcc = numbers.value(e.primaryPrefix);
        const int index = int(entities_.size());
        entities_.push_back(e);
        QStringList tokens;
        for (const QString& part : head.mid(8))
            for (const QStringView piece : QStringView(part).split(QLatin1Char(',')))
                if (const QStringView t = piece.trimmed(); !t.isEmpty())
                    tokens << t.toString();
        for (QString token : tokens) {
            Match m{index, e.cq, e.itu, e.continent};
            const bool overrides = std::any_of(token.cbegin(), token.cend(), [](QChar c) {
                return c == '(' || c == '[' || c == '{' || c == '<' || c == '~';
            });
            for (auto it = override.globalMatch(overrides ? token : QString()); it.hasNext();) {
                const QRegularExpressionMatch o = it.next();
                if (!o.captured(1).isEmpty())
                    m.cq = o.captured(1).toInt();
                if (!o.captured(2).isEmpty())
                    m.itu = o.captured(2).toInt();
                if (!o.captured(3).isEmpty())
                    m.continent = o.captured(3);
            }
            if (overrides)
                token.remove(override);
            const bool exact = token.startsWith(QLatin1Char('='));
            if (token.startsWith(QLatin1String("=VER"))) {
                // =VER20230502; another =VER... is an ordinary call.
                const QString digits = token.mid(4);
                if (digits.size() == 8 && std::all_of(digits.cbegin(), digits.cend(),
                                                      [](QChar c) { return c.isDigit(); })) {
                    version_ = digits;
                    continue;
                }
            }
            if (exact)
                token.remove(0, 1);
            const qsizetype at = lengthsAt(token);
            if (at < 0)
                continue; // no call is that long, nor other than ASCII
            (exact ? exact_ : prefixes_).emplace(token.toStdString(), m);
            (exact ? exactLengths_ : prefixLengths_)[size_t(at)] |= 1u << token.size();
        }
    }
    if (entities_.empty()) {
        error = QStringLiteral("The country file %1 holds no entities").arg(datPath);
        return false;
    }
    return true;
}

qsizetype CountryFile::lengthsAt(QStringView text) {
    const auto c = [&](qsizetype i) { return i < text.size() ? text[i].unicode() : 0u; };
    if (text.isEmpty() || text.size() >= 32 || c(0) > 127 || c(1) > 127)
        return -1;
    return c(0) * 128 + c(1);
}

const CountryFile::Match* CountryFile::exactCall(QStringView call) const {
    const qsizetype at = lengthsAt(call);
    if (at < 0 || !(exactLengths_[size_t(at)] & (1u << call.size())))
        return nullptr;
    return find(exact_, call);
}

const CountryFile::Match* CountryFile::find(const Table& table, QStringView text) {
    char bytes[32];
    if (text.size() > qsizetype(sizeof bytes))
        return nullptr;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() > 127)
            return nullptr;
        bytes[i] = char(text[i].unicode());
    }
    const auto it = table.find(std::string_view(bytes, size_t(text.size())));
    return it == table.end() ? nullptr : &it->second;
}

const CountryFile::Match* CountryFile::longestPrefix(const QString& text) const {
    if (text.isEmpty() || text[0].unicode() > 127)
        return nullptr;
    const unsigned first = text[0].unicode();
    if (text.size() > 1 && text[1].unicode() <= 127) {
        // The lengths that can match, longest first.
        const quint32 upTo = text.size() >= 31 ? ~0u : (2u << text.size()) - 1;
        for (quint32 lengths = prefixLengths_[first * 128 + text[1].unicode()] & upTo; lengths;) {
            const int n = 31 - std::countl_zero(lengths);
            if (const Match* m = find(prefixes_, QStringView(text).first(n)))
                return m;
            lengths &= ~(1u << n);
        }
    }
    if (prefixLengths_[first * 128] & 2u)
        return find(prefixes_, QStringView(text).first(1));
    return nullptr;
}

Resolution CountryFile::resolved(const Match& m, const QString& base) const {
    Resolution r;
    r.base = base;
    const Entity* e = &entities_[size_t(m.entity)];
    if (!e->isDxcc) {
        // A part the files list apart counts for the entity it lies in.
        for (const Entity& whole : entities_) {
            if (whole.isDxcc && whole.dxcc == e->dxcc) {
                e = &whole;
                break;
            }
        }
    }
    r.entity = e->isDxcc ? e : nullptr;
    r.cq = m.cq;
    r.itu = m.itu;
    r.continent = m.continent;
    return r;
}

Resolution CountryFile::resolve(const QString& typed) const {
    const QString call = typed.trimmed().toUpper();
    if (const Match* m = exactCall(call))
        return resolved(*m, call);
    Resolution none;
    // The call is the longer part; the other, if any, says where it is.
    QString base = call, where = call;
    if (call.contains(QLatin1Char('/'))) {
        QStringList parts = call.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (parts.isEmpty())
            return none;
        // A station at sea or in the air is in no entity.
        if (parts.size() > 1 &&
            (parts.last() == QLatin1String("MM") || parts.last() == QLatin1String("AM"))) {
            none.base = parts.first();
            return none;
        }
        while (parts.size() > 1 && changesNothing(parts.last()))
            parts.removeLast();
        base = where = parts.first();
        if (parts.size() > 1) {
            const bool firstIsWhere = parts[0].size() <= parts[1].size();
            base = firstIsWhere ? parts[1] : parts[0];
            where = firstIsWhere ? parts[0] : parts[1];
        }
    }
    // A part that is no prefix of the files (F6ABC/33, OH1ABC/X) says
    // nothing of where the station is: the call's own entity holds.
    if (where != base && !longestPrefix(where))
        where = base;
    if (where == base && base != call) {
        if (const Match* m = exactCall(base))
            return resolved(*m, base);
    }
    const Match* m = longestPrefix(where);
    if (!m) {
        none.base = base;
        return none;
    }
    // KG4 is Guantanamo Bay only with a two-letter suffix; other KG4 calls
    // are of the United States.
    if (where == base && base.startsWith(QLatin1String("KG4")) && base.size() != 5 &&
        entities_[size_t(m->entity)].primaryPrefix == QLatin1String("KG4")) {
        if (const Match* us = find(prefixes_, u"K"))
            m = us;
    }
    return resolved(*m, base);
}

QString CountryFile::entityName(int dxcc) const {
    for (const Entity& e : entities_) {
        if (e.isDxcc && e.dxcc == dxcc)
            return e.name;
    }
    return {};
}

std::unique_ptr<CountryFile> openCountryFile(const QString& logPath, QString& note) {
    const QString path = findCountryFile(logPath);
    if (path.isEmpty()) {
        note = QStringLiteral("No country file (cty.dat beside the log, or the package "
                              "hamradio-files): calls are not told by entity");
        return nullptr;
    }
    auto countries = std::make_unique<CountryFile>();
    if (!countries->load(path, note))
        return nullptr;
    note = QStringLiteral("Country file %1, version %2").arg(path, countries->version());
    return countries;
}

QString findCountryFile(const QString& logPath) {
    const QString beside = QFileInfo(logPath).dir().filePath(QStringLiteral("cty.dat"));
    if (QFileInfo::exists(beside))
        return beside;
    const QString system = QStringLiteral("/usr/share/hamradio-files/cty.dat");
    return QFileInfo::exists(system) ? system : QString();
}

} // namespace tavrelo::dxcc
