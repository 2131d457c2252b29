// Configuration files as a unit may hold them, whatever their bytes: read and printed as at start-up.
#include "CorvexConfig.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Log::setLevel(Log::Error);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static int count = 0;
    // A fresh name each time: QSettings caches files by name, size and time, which rewrites within a second defeat.
    const QString path = dir.filePath(QStringLiteral("config-%1.ini").arg(count++));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 0;
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    delete new Corvex::Config(path, nullptr);
    file.remove();
    return 0;
}
