// libFuzzer target for the setup file reader: parseHexImage on the bytes as they come, then
// loadOldSetup on the same bytes written to a file, as a technician's file is read.
//
// Beyond "no crash, no sanitizer report" it checks that nothing is written outside the image,
// that a refused file gets a printable message on a line the file has, that an accepted image
// comes back unchanged through the writer, and that loadOldSetup agrees with parseHexImage.

#include "intelhex.h"
#include "migration.h"
#include "readfile.h"
#include "setupfile.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

static void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_setupreader: %s\n", what);
        std::abort();
    }
}

// Reads `text` into an image between two guard zones; unwritten bytes hold a mark that a file
// cannot be told apart from, so that the round trip compares them too.
static QByteArray parse(const QByteArray &text, HexReadResult *read)
{
    constexpr int guard = 64;
    QByteArray bytes = QByteArray(guard, '\xA5') + QByteArray(kOldSetupSize, '\x5A')
            + QByteArray(guard, '\xA5');
    *read = parseHexImage(text, bytes.data() + guard, kOldSetupSize);
    check(bytes.startsWith(QByteArray(guard, '\xA5')) && bytes.endsWith(QByteArray(guard, '\xA5')),
          "a byte outside the image was written");
    check(read->covered.size() == kOldSetupSize && read->dataEnd >= 0,
          "covered or dataEnd out of shape");
    return bytes.mid(guard, kOldSetupSize);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(kMaxFileSize))
        return -1;
    const QByteArray text =
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    HexReadResult read;
    const QByteArray image = parse(text, &read);

    const int lines = text.count('\n') + text.count('\r') + 1; // at most: a CR ends a line too
    if (read.error.ok()) {
        check(read.error.line == 0 && read.dataEnd <= kOldSetupSize,
              "accepted data reaches beyond the image");
        HexReadResult reread;
        check(parse(formatHexImage(image.constData(), kOldSetupSize), &reread) == image,
              "the image changed on its way through the writer");
        check(reread.error.ok() && reread.covered.count(true) == kOldSetupSize,
              "the writer's text is refused or leaves bytes out");
    } else {
        bool printable = !read.error.detail.isEmpty();
        for (const QChar c : read.error.detail)
            printable = printable && c.unicode() >= 0x20 && c.unicode() < 0x7F;
        check(printable, "an error without a message, or with unprintable characters");
        check(read.error.line >= 1 && read.error.line <= lines,
              "an error on a line the file does not have");
        check(read.error.code != HexError::OutOfRange || read.dataEnd > kOldSetupSize,
              "out of range, but the data ends inside the image");
    }

    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("input.hex"));
    QFile file(path);
    check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size()
                  && file.flush(), // dated back: a file written just now is given time to change
          "cannot write the input file");
    file.setFileTime(QDateTime::fromSecsSinceEpoch(0), QFileDevice::FileModificationTime);
    file.close();
    QByteArray loaded("left over from an earlier load");
    const SetupError load = loadOldSetup(path, &loaded);
    check(load.ok() == (read.error.ok() && read.covered.count(true) == kOldSetupSize),
          "loadOldSetup and parseHexImage disagree");
    if (load.ok())
        check(loaded == image && load.line == 0 && load.message.isEmpty(),
              "the loaded setup differs from the parsed image");
    else
        check(loaded.isEmpty() && load.message.startsWith(path) && load.line >= 0
                      && load.line <= lines,
              "a refusal without its message or with a setup");
    return 0;
}
