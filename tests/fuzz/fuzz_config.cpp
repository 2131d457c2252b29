// Configuration files as a unit may hold them, whatever their bytes: read and printed as at start-up.
#include "CorvexConfig.h"

#include <QFile>
#include <QTemporaryDir>

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
    QFile file(dir.filePath(QString::number(count++)));
    if (file.open(QIODevice::WriteOnly) && file.write(reinterpret_cast<const char *>(data), qint64(size)) >= 0) {
        file.close();
        delete new Corvex::Config(file.fileName(), nullptr);
    }
    file.remove();
    return 0;
}
