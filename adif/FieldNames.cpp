// SPDX-License-Identifier: GPL-3.0-or-later
#include "FieldNames.h"

#include <QByteArray>

#include <array>

namespace tavrelo::adif {

namespace {

constexpr FieldName names[] = {
    {"QSO_DATE", QsoDate, Box | Identity},
    {"TIME_ON", TimeOn, Box | Identity},
    {"BAND", Band, Box | Identity},
    {"FREQ", Freq, Identity},
    {"CALL", Call, Box | Identity},
    {"NAME", Name, Box},
    {"NAME_INTL", NameIntl, 0},
    {"QTH", Qth, Box},
    {"QTH_INTL", QthIntl, 0},
    {"GRIDSQUARE", Grid, 0},
    {"RST_SENT", RstSent, Box},
    {"RST_RCVD", RstRcvd, Box},
    {"MODE", Mode, Identity | Tells},
    {"SUBMODE", Submode, Identity | Tells},
    {"SAT_NAME", SatName, Identity | Tells},
    {"PROP_MODE", PropMode, Identity | Tells},
    {"DXCC", Dxcc, 0},
    {"COUNTRY", Country, 0},
    {"CQZ", Cqz, 0},
    {"ITUZ", Ituz, 0},
    {"CONT", Cont, 0},
    {"ADIF_VER", -1, Header},
    {"PROGRAMID", -1, Header},
    {"PROGRAMVERSION", -1, Header},
    {"CREATED_TIMESTAMP", -1, Header},
    {"ADDRESS", -1, Multiline},
    {"ADDRESS_INTL", -1, Multiline},
    {"NOTES", -1, Multiline},
    {"NOTES_INTL", -1, Multiline},
    {"QSLMSG", -1, Multiline},
    {"QSLMSG_INTL", -1, Multiline},
    {"RIG", -1, Multiline},
    {"RIG_INTL", -1, Multiline},
};

constexpr char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

// The names in a small open table by their length and their first and last
// letters, so that a name of a record, which is mostly none of these, is
// passed over at the first empty place: asked of every field of every
// record that is read.
constexpr size_t Places = 256;
constexpr size_t placeOf(const char* name, size_t length) {
    return (length * 37 + size_t(quint8(upper(name[0]))) * 7 +
            size_t(quint8(upper(name[length - 1]))) * 3) %
           Places;
}
struct Table {
    std::array<qint8, Places> at{};
    constexpr Table() {
        at.fill(-1);
        for (size_t i = 0; i < std::size(names); ++i) {
            size_t p = placeOf(names[i].name, std::char_traits<char>::length(names[i].name));
            while (at[p] >= 0)
                p = (p + 1) % Places;
            at[p] = qint8(i);
        }
    }
};
constexpr Table table;

bool sameName(const char* wanted, QByteArrayView name) {
    for (qsizetype k = 0; k < name.size(); ++k) {
        if (wanted[k] == 0 || wanted[k] != upper(name[k]))
            return false;
    }
    return wanted[name.size()] == 0;
}

} // namespace

const FieldName* fieldNamed(QByteArrayView name) {
    if (name.isEmpty())
        return nullptr;
    for (size_t p = placeOf(name.data(), size_t(name.size()));; p = (p + 1) % Places) {
        const qint8 i = table.at[p];
        if (i < 0)
            return nullptr;
        if (sameName(names[i].name, name))
            return &names[i];
    }
}

const char* nameOf(Field field) {
    for (const FieldName& f : names) {
        if (f.field == field)
            return f.name;
    }
    return "";
}

bool hasRole(QByteArrayView name, Role role) {
    return hasRole(fieldNamed(name), name, role);
}

bool hasRole(const FieldName* named, QByteArrayView name, Role role) {
    if (named)
        return named->roles & role;
    return role == Header && name.size() >= 7 && qstrnicmp(name.data(), "USERDEF", 7) == 0;
}

} // namespace tavrelo::adif
