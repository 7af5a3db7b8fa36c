// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QString>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrelo::dxcc {

// An entity of the country files: a DXCC entity, or (isDxcc false) a part
// of one that the files list apart, whose calls count for the DXCC entity
// it lies in.
struct Entity {
    QString name;
    int dxcc = 0; // the DXCC entity's number; for a part, that of its entity
    int cq = 0, itu = 0;
    QString continent;
    QString primaryPrefix;
    bool isDxcc = true;
};

// What a call resolves to: its DXCC entity, with the zones and continent
// that hold for that call (a prefix or call of the file may say other ones
// than its entity's).
struct Resolution {
    const Entity* entity = nullptr; // null: no entity (/MM, /AM, unknown)
    int cq = 0, itu = 0;
    QString continent;
    QString base; // the call without its location and suffixes
};

// The country files cty.dat and cty.csv (the DXCC numbers), read once.
class CountryFile {
public:
    // Reads datPath and the cty.csv beside it; error says what failed.
    bool load(const QString& datPath, QString& error);
    // The file's version, "20230502", from its =VER entry; empty if none.
    QString version() const { return version_; }

    // Exact calls first, then the longest prefix; portable forms by their
    // location (EA8/DL1ABC, DL1ABC/EA8); /P, /M, /QRP, /A and a call-area
    // digit change nothing; /MM and /AM have no entity.
    Resolution resolve(const QString& call) const;
    // The name of a DXCC entity by its number; empty when unknown.
    QString entityName(int dxcc) const;

private:
    struct Match {
        int entity = -1;
        int cq = 0, itu = 0;
        QString continent;
    };
    const Match* longestPrefix(const QString& text) const;
    Resolution resolved(const Match& m, const QString& base) const;

    QString version_;
    std::vector<Entity> entities_;
    // Looked up by views of the call, without a copy (calls and prefixes
    // are ASCII; others find nothing).
    struct ViewHash {
        using is_transparent = void;
        size_t operator()(std::string_view v) const { return std::hash<std::string_view>()(v); }
    };
    using Table = std::unordered_map<std::string, Match, ViewHash, std::equal_to<>>;
    static const Match* find(const Table& table, QStringView text);
    Table exact_, prefixes_;
    // The lengths of the prefixes, and of the exact calls, that start with
    // two characters, a bit each, by the characters (lengthsAt()): a call is
    // looked up only at the lengths that can match. One-character prefixes
    // in the bits of the first character alone (second 0).
    static qsizetype lengthsAt(QStringView text); // -1: no entry can be text
    const Match* exactCall(QStringView call) const;
    std::vector<quint32> prefixLengths_ = std::vector<quint32>(128 * 128);
    std::vector<quint32> exactLengths_ = std::vector<quint32>(128 * 128);
};

// The country file to use: cty.dat beside the log when there is one, else
// the system's (Debian's hamradio-files); empty when there is none.
QString findCountryFile(const QString& logPath);

// The country file for the log, read; null when there is none or it cannot
// be read. note says which file and version, or why there is none.
std::unique_ptr<CountryFile> openCountryFile(const QString& logPath, QString& note);

} // namespace tavrelo::dxcc
