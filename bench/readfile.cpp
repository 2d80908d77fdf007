#include <QFile>

// The floor for one conversion: a Qt Core program that starts, opens a file and
// reads it, and does nothing else. Exit status 0 when the file could be read.
int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    QFile file(QFile::decodeName(argv[1]));
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    return file.readAll().isEmpty() ? 1 : 0;
}
