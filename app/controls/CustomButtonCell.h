#pragma once

#include <QPushButton>

class QPainter;

// The application's blue button: a rounded shape (radius 13) in the dark blue, filled inside a
// 1-point border with the lighter blue while it is up; all dark while pressed. White title.
class CustomButtonCell : public QPushButton {
    Q_OBJECT
  public:
    static constexpr qreal CornerRadius = 13.0;
    static QColor borderColor() { return QColor(52, 87, 153); }
    static QColor faceColor() { return QColor(60, 100, 180); }

    explicit CustomButtonCell(QWidget* parent = nullptr);
    explicit CustomButtonCell(const QString& text, QWidget* parent = nullptr);

    // The bezel alone, for anything that wants to look like this button.
    static void drawBezel(QPainter& painter, const QRectF& frame, bool pressed);

  protected:
    void paintEvent(QPaintEvent* event) override;
};
