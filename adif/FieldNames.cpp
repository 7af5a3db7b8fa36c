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

// The names by length, so that most names of a record, which are none of
// these, are passed over on their length alone.
constexpr size_t MaxLength = 20;
struct ByLength {
    std::array<std::array<qint8, 8>, MaxLength + 1> at{};
    constexpr ByLength() {
        for (auto& list : at)
            list.fill(-1);
        for (size_t i = 0; i < std::size(names); ++i) {
            const size_t n = std::char_traits<char>::length(names[i].name);
            size_t k = 0;
            while (at[n][k] >= 0)
                ++k;
            at[n][k] = qint8(i);
        }
    }
};
constexpr ByLength byLength;

char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

} // namespace

const FieldName* fieldNamed(QByteArrayView name) {
    if (name.size() > qsizetype(MaxLength))
        return nullptr;
    // Most names of a record are none of these: passed over on their length
    // or first letter, without a call.
    for (const qint8 i : byLength.at[size_t(name.size())]) {
        if (i < 0)
            return nullptr;
        const char* wanted = names[i].name;
        if (wanted[0] != upper(name[0]))
            continue;
        qsizetype k = 1;
        while (k < name.size() && wanted[k] == upper(name[k]))
            ++k;
        if (k == name.size())
            return &names[i];
    }
    return nullptr;
}

bool hasRole(QByteArrayView name, Role role) {
    if (role == Header && name.size() >= 7 && qstrnicmp(name.data(), "USERDEF", 7) == 0)
        return true;
    const FieldName* f = fieldNamed(name);
    return f && (f->roles & role);
}

} // namespace tavrelo::adif
