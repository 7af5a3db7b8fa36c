// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>

namespace tavrelo::adif {

// The ADIF fields that play a part in Tavrelo, each named once, with its
// part: the one list the reader, the import, the fields file and the export
// ask. A field not listed is kept and written as it came.

// The fields a record is looked at for.
enum Field : quint8 {
    QsoDate,
    TimeOn,
    Band,
    Freq,
    Call,
    Name,
    NameIntl,
    Qth,
    QthIntl,
    Grid,
    RstSent,
    RstRcvd,
    Mode,
    Submode,
    SatName,
    PropMode,
    // The call's entity and zones, which the export fills when a contact
    // lacks them
    Dxcc,
    Country,
    Cqz,
    Ituz,
    Cont,
    FieldCount
};

enum Role : quint8 {
    Box = 1,       // its value goes into a box of the log line
    Identity = 2,  // says which contact a record is: its key, or what tells it apart
    Tells = 4,     // tells contacts of one key apart (mode, satellite, propagation)
    Header = 8,    // of a file's header, never of a contact
    Multiline = 16 // its value may run over several lines: its CR LF are kept
};

struct FieldName {
    const char* name;
    int field; // a Field, or -1 for one that only has a role
    quint8 roles;
};

// The field of that name, in any case, or null.
const FieldName* fieldNamed(QByteArrayView upperName);
// The name of a field, as ADIF writes it.
const char* nameOf(Field field);
// Whether a field of that name, in any case, has the role. USERDEFn
// fields are of the header too.
bool hasRole(QByteArrayView name, Role role);
// The same for a name already looked up: named is fieldNamed(name).
bool hasRole(const FieldName* named, QByteArrayView name, Role role);

} // namespace tavrelo::adif
