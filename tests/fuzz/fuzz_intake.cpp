// Command messages as a broker may deliver them: the first line is the topic, the rest the payload. Covers the
// intake up to where a handler would ask NetworkManager: topic to command, size limit, JSON parse, the masked log.
#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const int newline = input.indexOf('\n');
    const QString topic = QString::fromUtf8(input.left(qMax(newline, 0)));
    const QByteArray payload = input.mid(newline + 1);
    Corvex::IPC::readCommand(QStringLiteral("vorn/network"), topic, payload);
    Corvex::maskSecrets(payload);
    return 0;
}
