#pragma once

#include <QLabel>

// A label of one line that shows its text whole where it fits; where it does not, only a part of
// it is shortened (all of it unless told which), in the middle (a path keeps its file name) or,
// where told, at its end, so that what comes before and after that part stays whole. It never
// makes its window wider. Its tooltip and its accessible name hold the whole text.
class ElidedLabel : public QLabel
{
public:
    using QLabel::QLabel;

    // `text`, whose `length` characters from `from` on (to its end for -1) may be shortened.
    void setFullText(const QString &text, int from = 0, int length = -1)
    {
        m_text = text;
        m_from = from;
        m_length = length;
        setToolTip(text);
        setAccessibleName(text); // what a screen reader reads, never the shortened text
        elide();
    }
    QString fullText() const { return m_text; }
    void setElideMode(Qt::TextElideMode mode) { m_mode = mode; }
    QSize minimumSizeHint() const override { return QSize(0, QLabel::minimumSizeHint().height()); }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide()
    {
        const QFontMetrics metrics = fontMetrics();
        const int width = contentsRect().width();
        if (metrics.horizontalAdvance(m_text) <= width) {
            setText(m_text);
            return;
        }
        const QString before = m_text.left(m_from), part = m_text.mid(m_from, m_length),
                      after = m_length < 0 ? QString() : m_text.mid(m_from + m_length);
        // A pixel a side for how the parts join where their advances are added. Where not even
        // the rest fits, the part goes whole, then what is left is shortened.
        const int room = width - metrics.horizontalAdvance(before + after) - 2;
        const QString ellipsis(QChar(0x2026));
        setText(room >= metrics.horizontalAdvance(ellipsis) * 3
                        ? before + metrics.elidedText(part, m_mode, room) + after
                        : metrics.elidedText(before + ellipsis + after, m_mode, width));
    }

    QString m_text;
    int m_from = 0, m_length = -1;
    Qt::TextElideMode m_mode = Qt::ElideMiddle;
};
