#include "intelhex.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

// The digit value of every byte, -1 where it is no hex digit: one look-up per
// character of a record.
constexpr std::array<signed char, 256> kHexValues = [] {
    std::array<signed char, 256> values{};
    for (auto &value : values)
        value = -1;
    for (int i = 0; i < 10; ++i)
        values['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; ++i) {
        values['A' + i] = static_cast<signed char>(10 + i);
        values['a' + i] = static_cast<signed char>(10 + i);
    }
    return values;
}();

int hexValue(char c)
{
    return kHexValues[static_cast<unsigned char>(c)];
}

QString hex(qint64 value, int digits)
{
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

// How a character of a bad line is named in a message: printable ASCII as itself,
// anything else by its byte value, so that a message never carries raw binary.
QString describe(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u > 0x20 && u < 0x7F)
        return QStringLiteral("'%1'").arg(QLatin1Char(c));
    return QStringLiteral("byte 0x%1").arg(hex(u, 2));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Text holds no NUL and no control characters but tab, line ends and page breaks;
// programs and images are full of them.
bool isBinary(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && (u < '\t' || u > '\r')) || u == 0x7F;
}

constexpr int kDataRecord = 0x00;
constexpr int kExtendedSegmentAddress = 0x02;
constexpr int kExtendedLinearAddress = 0x04;
constexpr int kLastKnownType = 0x05;

} // namespace

QString HexError::message(const QString &path) const
{
    if (path.isEmpty())
        return detail; // "no file name given" needs no empty name before it
    QString text = QDir::toNativeSeparators(path);
    if (line > 0)
        text += QStringLiteral(", line %1").arg(line);
    return text + QStringLiteral(": ") + detail;
}

namespace {

// One reading of a text into an image, a line at a time: what a line does depends on the
// extended address records before it, and a byte's value on the lines that gave it one.
class Parser
{
public:
    Parser(char *image, int size)
        : m_image(image), m_size(size), m_givenAt(size_t(qMax(size, 0)), 0)
    {
        m_result.covered.resize(size);
    }

    HexReadResult run(const QByteArray &text);

private:
    // Refuses the text, for the problem on the current line. Returns false.
    bool fail(HexError::Code code, QString detail)
    {
        m_result.error = HexError{ code, lineNumber, std::move(detail) };
        return false;
    }
    bool readRecord(const char *line, int length, unsigned char *bytes);
    bool apply(const unsigned char *bytes);
    bool store(qint64 address, const unsigned char *data, int count);
    HexReadResult finish();

    char *m_image;
    int m_size;
    HexReadResult m_result;
    // The line that gave each byte its value, 0 for none yet.
    std::vector<int> m_givenAt;
    int lineNumber = 0;
    int outOfRangeLine = 0;
    qint64 outOfRangeAddress = 0;
    qint64 base = 0; // from the last extended address record
};

HexReadResult Parser::run(const QByteArray &text)
{
    bool recordSeen = false;
    const char *const textEnd = text.constData() + text.size();
    const char *next = text.constData() + (text.startsWith("\xEF\xBB\xBF") ? 3 : 0);
    int lineEnds = 1; // between the line before and this one
    while (next < textEnd) {
        const char *line = next;
        const char *end = line;
        while (end < textEnd && *end != '\n' && *end != '\r')
            ++end;
        lineNumber += lineEnds;
        // A line ends in LF, in CRs and an LF (each text-mode copy adds a CR), or in
        // a CR alone as old tools wrote. A run of CRs without an LF is that many
        // line ends: the empty lines between them count, so line numbers stay right.
        const char *crs = end;
        while (crs < textEnd && *crs == '\r')
            ++crs;
        const bool lf = crs < textEnd && *crs == '\n';
        next = lf ? crs + 1 : crs;
        lineEnds = lf ? 1 : int(crs - end);
        int length = int(end - line);

        // Before the first record a binary byte means a file that is no text at all;
        // after it, damage that the record rules name where it lies in a record.
        if (const char *binary = std::find_if(line, end, isBinary); !recordSeen && binary != end) {
            fail(HexError::NotText,
                 QStringLiteral("not Intel HEX text: %1 at column %2 is binary data")
                         .arg(describe(*binary))
                         .arg(binary - line + 1));
            return m_result;
        }
        if (length == 0 || line[0] != ':')
            continue;
        recordSeen = true;
        while (length > 0 && isBlank(line[length - 1]))
            --length;
        // The record's bytes: count, address (2), type, data, checksum.
        unsigned char bytes[5 + 255];
        if (!readRecord(line, length, bytes) || !apply(bytes))
            return m_result;
    }
    return finish();
}

// Checks the record on line[0, length) and puts its bytes into `bytes`.
bool Parser::readRecord(const char *line, int length, unsigned char *bytes)
{
    // Every character after the ':' must be a hex digit: the count, address
    // and type first, so that the count can say where the record ends.
    auto digitsUpTo = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            if (hexValue(line[i]) < 0)
                return i;
        }
        return -1;
    };
    auto byteAt = [&](int i) { return hexValue(line[i]) * 16 + hexValue(line[i + 1]); };

    if (const int bad = digitsUpTo(1, qMin(length, 9)); bad >= 0)
        return fail(HexError::BadRecord,
                    QStringLiteral("%1 at column %2 is not a hex digit")
                            .arg(describe(line[bad]))
                            .arg(bad + 1));
    if (length < 11)
        return fail(HexError::BadRecord,
                    QStringLiteral(
                            "record is cut short: it has %1 characters, a record needs at least 11")
                            .arg(length));

    const int count = byteAt(1);
    const int recordLength = 11 + 2 * count;
    if (const int bad = digitsUpTo(9, qMin(length, recordLength)); bad >= 0)
        return fail(HexError::BadRecord,
                    QStringLiteral("%1 at column %2 is not a hex digit")
                            .arg(describe(line[bad]))
                            .arg(bad + 1));
    if (length < recordLength)
        return fail(
                HexError::BadRecord,
                QStringLiteral("byte count is %1, so the record needs %2 characters, but it has %3")
                        .arg(hex(count, 2))
                        .arg(recordLength)
                        .arg(length));
    if (length > recordLength)
        return fail(
                HexError::BadRecord,
                QStringLiteral("byte count is %1, so the record ends at column %2, but %3 follows")
                        .arg(hex(count, 2))
                        .arg(recordLength)
                        .arg(describe(line[recordLength])));

    int sum = 0;
    for (int k = 0; k < count + 5; ++k) {
        bytes[k] = static_cast<unsigned char>(byteAt(1 + 2 * k));
        sum += bytes[k];
    }
    const int checksum = bytes[count + 4];
    const int expected = (checksum - sum) & 0xFF; // what makes all the bytes add up to 0
    if (checksum != expected)
        return fail(HexError::BadChecksum,
                    QStringLiteral("checksum is %1, the record's bytes give %2")
                            .arg(hex(checksum, 2), hex(expected, 2)));
    return true;
}

// What a well-formed record does: sets the extended address, stores data, or nothing.
bool Parser::apply(const unsigned char *bytes)
{
    const int count = bytes[0];
    const int offset = bytes[1] * 256 + bytes[2];
    const int type = bytes[3];
    const unsigned char *data = bytes + 4;
    if (type > kLastKnownType)
        return fail(HexError::UnknownType,
                    QStringLiteral("record type %1 is unknown; only types 00 to 05 are read")
                            .arg(hex(type, 2)));
    if (type == kExtendedSegmentAddress || type == kExtendedLinearAddress) {
        if (count != 2)
            return fail(HexError::BadRecord,
                        QStringLiteral("an extended address record (type %1) holds 02 data "
                                       "bytes, this one %2")
                                .arg(hex(type, 2), hex(count, 2)));
        const qint64 value = data[0] * 256 + data[1];
        base = type == kExtendedSegmentAddress ? value * 16 : value << 16;
        return true;
    }
    // Types 01, 03 and 05 carry nothing for the image. The end-of-file record
    // does not end the reading: a file may go on after it.
    if (type != kDataRecord)
        return true;
    return store(base + offset, data, count);
}

bool Parser::store(qint64 address, const unsigned char *data, int count)
{
    for (int j = 0; j < count; ++j) {
        const qint64 at = address + j;
        if (at < m_size) {
            // A byte given twice with different values means two setups, or a setup
            // and a patch, in one file: neither value can be trusted.
            int &first = m_givenAt[size_t(at)];
            if (first > 0 && static_cast<unsigned char>(m_image[at]) != data[j])
                return fail(HexError::Conflict,
                            QStringLiteral("address 0x%1 is %2 here but %3 at line %4")
                                    .arg(hex(at, 4), hex(data[j], 2),
                                         hex(static_cast<unsigned char>(m_image[at]), 2))
                                    .arg(first));
            if (first == 0)
                first = lineNumber;
            m_image[at] = static_cast<char>(data[j]);
        } else if (outOfRangeLine == 0) {
            outOfRangeLine = lineNumber;
            outOfRangeAddress = at;
        }
    }
    if (count > 0)
        m_result.dataEnd = qMax(m_result.dataEnd, address + count);
    return true;
}

// The whole text read: which bytes it gave, and the first data outside the image.
HexReadResult Parser::finish()
{
    for (int at = 0; at < m_size; ++at)
        m_result.covered.setBit(at, m_givenAt[size_t(at)] > 0);

    if (outOfRangeLine > 0) {
        lineNumber = outOfRangeLine;
        fail(HexError::OutOfRange,
             QStringLiteral("data at address 0x%1 lies beyond the %2-byte image")
                     .arg(hex(outOfRangeAddress, 4))
                     .arg(m_size));
    }
    return m_result;
}

} // namespace

HexReadResult parseHexImage(const QByteArray &text, char *image, int size)
{
    return Parser(image, size).run(text);
}

QByteArray formatHexImage(const char *image, int size)
{
    Q_ASSERT(size >= 0 && size <= 0x10000);
    static const char digits[] = "0123456789ABCDEF";
    static const char endOfFile[] = ":00000001FF\n";
    // Per record ":", count, address, type, checksum and line end (12 characters),
    // and two digits per byte; the text is written straight into its final buffer.
    const int records = (size + 15) / 16;
    QByteArray text(records * 12 + size * 2 + int(sizeof endOfFile) - 1, Qt::Uninitialized);
    char *out = text.data();
    auto put = [&out](int byte) {
        *out++ = digits[(byte >> 4) & 0xF];
        *out++ = digits[byte & 0xF];
    };

    for (int address = 0; address < size; address += 16) {
        const int count = qMin(16, size - address);
        int sum = count + (address >> 8) + (address & 0xFF);
        *out++ = ':';
        put(count);
        put(address >> 8);
        put(address & 0xFF);
        put(kDataRecord);
        for (int j = 0; j < count; ++j) {
            const int byte = static_cast<unsigned char>(image[address + j]);
            sum += byte;
            put(byte);
        }
        put(-sum & 0xFF);
        *out++ = '\n';
    }
    std::memcpy(out, endOfFile, sizeof endOfFile - 1);
    return text;
}
