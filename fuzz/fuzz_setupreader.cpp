// libFuzzer target for the setup file reader: parseHexImage on the bytes as
// they come, then loadOldSetup on the same bytes written to a file, so that the
// loader's own checks run exactly as they do for a file a technician picks.
//
// Beyond "no crash, no sanitizer report" it checks:
// - nothing is written outside the image (guard bytes on both sides);
// - a refused file gets a message, in printable text, on a line the file has;
// - an accepted image, written again by formatHexImage and read back, is the same image;
// - loadOldSetup agrees with parseHexImage on what it accepts, and hands back its image.

#include "intelhex.h"
#include "migration.h"
#include "setupfile.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kGuard = 64;
constexpr char kGuardByte = '\xA5';
constexpr char kUnwrittenByte = '\x5A';

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_setupreader: %s\n", what);
        std::abort();
    }
}

// An image of `size` bytes between two guard zones; unwritten bytes hold a mark
// that a file cannot be told apart from, so the round trip compares them too.
class GuardedImage
{
public:
    explicit GuardedImage(int size) : m_size(size), m_bytes(size + 2 * kGuard, kGuardByte)
    {
        std::memset(data(), kUnwrittenByte, static_cast<size_t>(size));
    }
    char *data() { return m_bytes.data() + kGuard; }
    const char *constData() const { return m_bytes.constData() + kGuard; }
    int size() const { return m_size; }
    void checkGuards() const
    {
        for (int i = 0; i < kGuard; ++i) {
            check(m_bytes.at(i) == kGuardByte, "a byte before the image was written");
            check(m_bytes.at(kGuard + m_size + i) == kGuardByte, "a byte after the image was written");
        }
    }

private:
    int m_size;
    QByteArray m_bytes;
};

bool isPrintable(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() >= 0x7F)
            return false;
    }
    return true;
}

QString setupPath()
{
    static QTemporaryDir dir;
    check(dir.isValid(), "cannot create a temporary folder");
    return dir.filePath(QStringLiteral("input.hex"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > static_cast<size_t>(kMaxHexFileSize))
        return -1;
    const QByteArray text = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));

    GuardedImage image(kOldSetupSize);
    const HexReadResult read = parseHexImage(text, image.data(), image.size());
    image.checkGuards();
    check(read.covered.size() == kOldSetupSize, "covered does not have one bit per image byte");
    check(read.dataEnd >= 0, "dataEnd is negative");

    const int lines = text.count('\n') + 1;
    if (read.error.ok()) {
        check(read.error.line == 0, "a line number without an error");
        check(read.dataEnd <= kOldSetupSize, "accepted data reaches beyond the image");
        check(read.covered.count(true) <= read.dataEnd, "more bytes covered than the data reaches");

        const QByteArray rewritten = formatHexImage(image.constData(), image.size());
        GuardedImage again(kOldSetupSize);
        const HexReadResult reread = parseHexImage(rewritten, again.data(), again.size());
        again.checkGuards();
        check(reread.error.ok(), "the writer's text is refused by the reader");
        check(reread.covered.count(true) == kOldSetupSize, "the writer's text leaves bytes out");
        check(reread.dataEnd == kOldSetupSize, "the writer's text reaches a different end");
        check(std::memcmp(image.constData(), again.constData(), kOldSetupSize) == 0, "the image changed on its way through the writer");
    } else {
        check(!read.error.detail.isEmpty(), "an error without a message");
        check(isPrintable(read.error.detail), "an error message with unprintable characters");
        check(read.error.line >= 1 && read.error.line <= lines, "an error on a line the file does not have");
        if (read.error.code == HexError::OutOfRange)
            check(read.dataEnd > kOldSetupSize, "out of range, but the data ends inside the image");
    }

    const QString path = setupPath();
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size(), "cannot write the input file");
    }
    QByteArray loaded("left over from an earlier load");
    const SetupError load = loadOldSetup(path, &loaded);
    const bool complete = read.error.ok() && read.covered.count(true) == kOldSetupSize;
    check(load.ok() == complete, "loadOldSetup and parseHexImage disagree on the file");
    if (load.ok()) {
        check(loaded.size() == kOldSetupSize, "a loaded setup of the wrong size");
        check(std::memcmp(loaded.constData(), image.constData(), kOldSetupSize) == 0, "the loaded setup differs from the parsed image");
        check(load.line == 0 && load.message.isEmpty(), "a message without an error");
    } else {
        check(loaded.isEmpty(), "a refused file left a setup behind");
        check(!load.message.isEmpty(), "a refused file without a message");
        check(load.message.startsWith(path), "the message does not name the file");
        check(load.line >= 0 && load.line <= lines, "an error on a line the file does not have");
    }
    return 0;
}
