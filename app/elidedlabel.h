#pragma once

#include <QLabel>

// A label of one line that shows as much of its text as fits, shortened in the middle, and that
// never makes its window wider.
class ElidedLabel : public QLabel
{
public:
    using QLabel::QLabel;

    void setFullText(const QString &text)
    {
        m_text = text;
        elide();
    }
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
        setText(fontMetrics().elidedText(m_text, Qt::ElideMiddle, contentsRect().width()));
    }

    QString m_text;
};
