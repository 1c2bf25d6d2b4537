#include "status_line.h"

#include <QHelpEvent>
#include <QPainter>
#include <QTextLayout>
#include <QToolTip>

StatusLine::StatusLine(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
}

int StatusLine::frameExtent() const {
    return 2 * (frameWidth() + std::max(margin(), 0));
}

QSize StatusLine::sizeHint() const {
    return QSize(0, 2 * fontMetrics().lineSpacing() + frameExtent());
}

QSize StatusLine::minimumSizeHint() const {
    return QSize(0, fontMetrics().lineSpacing() + frameExtent());
}

void StatusLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawFrame(&painter);
    const int inset = std::max(margin(), 0);
    const QRect area = contentsRect().adjusted(inset, inset, -inset, -inset);
    const QFontMetrics metrics = fontMetrics();
    const int lineHeight = metrics.lineSpacing();
    const int maxLines = std::max(1, area.height() / std::max(lineHeight, 1));

    QString text = this->text();
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(text, font());
    QTextOption option(alignment() & Qt::AlignHorizontal_Mask);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int lines = 0;
    qreal y = 0;
    elided_ = false;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        if (lines == maxLines) {
            elided_ = true;
            break;
        }
        line.setLineWidth(area.width());
        line.setPosition(QPointF(0, y));
        y += lineHeight;
        ++lines;
    }
    layout.endLayout();

    int top = area.top();
    if (alignment() & Qt::AlignVCenter) top += (area.height() - lines * lineHeight) / 2;
    if (alignment() & Qt::AlignBottom) top += area.height() - lines * lineHeight;
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    const int shown = elided_ ? lines - 1 : lines;
    for (int i = 0; i < shown; ++i) layout.lineAt(i).draw(&painter, QPointF(area.left(), top));
    if (elided_) {
        // The last line holds the rest of the text, shortened in the middle.
        QString rest = text.mid(layout.lineAt(lines - 1).textStart());
        rest.replace(QChar::LineSeparator, QLatin1Char(' '));
        const QRect last(area.left(), top + (lines - 1) * lineHeight, area.width(), lineHeight);
        painter.drawText(last, int(alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter,
                         metrics.elidedText(rest, Qt::ElideMiddle, area.width()));
    }
}

bool StatusLine::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (elided_) {
            QToolTip::showText(help->globalPos(), text(), this);
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QLabel::event(event);
}
