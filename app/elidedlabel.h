#pragma once

#include <QLabel>

// A label of one line that shows as much of its text as fits, shortened in the middle (a path
// keeps its file name) or, where told, at its end; it never makes its window wider.
class ElidedLabel : public QLabel
{
public:
    using QLabel::QLabel;

    void setFullText(const QString &text)
    {
        m_text = text;
        elide();
    }
    void setElideMode(Qt::TextElideMode mode) { m_mode = mode; }
    QSize minimumSizeHint() const override { return QSize(0, QLabel::minimumSizeHint().height()); }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(m_text, m_mode, contentsRect().width())); }

    QString m_text;
    Qt::TextElideMode m_mode = Qt::ElideMiddle;
};
