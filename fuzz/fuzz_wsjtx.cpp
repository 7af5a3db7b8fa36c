// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the decoder of WSJT-X's datagrams and what follows a Logged ADIF
// message: whatever arrives, decoding ends without a crash, a Logged ADIF
// message encodes back to the text it carried, and every contact made of it
// is one whole record of eight fields.
#include "ContactLog.h"
#include "Message.h"

#include <cstdint>
#include <cstdlib>

using namespace tavrelo::wsjtx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView datagram(reinterpret_cast<const char*>(data), qsizetype(size));
    const Message m = decodeMessage(datagram);
    if (m.fault != Fault::None || m.type != LoggedAdif)
        return 0;
    if (m.schema != 2 && m.schema != 3)
        std::abort();
    if (decodeMessage(encodeLoggedAdif(m.id, m.adif, m.schema)).adif != m.adif)
        std::abort();
    QStringList skipped;
    for (const Contact& c : contactsOfAdif(m.adif, skipped)) {
        if (!c.record.endsWith("\r\n") || c.record.count('\n') != 1 || c.record.count('\r') != 1 ||
            QString::fromUtf8(c.record).count(QStringLiteral(",  ")) != 7 || c.key.isEmpty())
            std::abort();
    }
    return 0;
}
