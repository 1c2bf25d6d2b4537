// The status line: shows any text, however long, without asking the window for more room. The
// text wraps at word boundaries or, where a word (a long path) is wider than the line, anywhere;
// what does not fit the lines the label has is elided in the middle of the last one, and the
// whole text is then its tooltip. text() is always the whole text.
#pragma once

#include <QLabel>

class StatusLine : public QLabel {
    Q_OBJECT
public:
    explicit StatusLine(QWidget* parent = nullptr);

    // Neither hint depends on the text: one line at least, two preferred, no width.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // True when the last paint could not show the whole text.
    bool isElided() const { return elided_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    int frameExtent() const;
    bool elided_ = false;
};
