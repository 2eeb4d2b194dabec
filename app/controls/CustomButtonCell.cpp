#include "CustomButtonCell.h"

#include "AccessibleControls.h"
#include "WindowsResources.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>
#include <QStylePainter>

CustomButtonCell::CustomButtonCell(QWidget* parent) : QPushButton(parent) {
    initWindowsResources();
    AccessibleControls::install();
    setCursor(Qt::PointingHandCursor);
}

CustomButtonCell::CustomButtonCell(const QString& text, QWidget* parent) : CustomButtonCell(parent) {
    setText(text);
}

void CustomButtonCell::drawBezel(QPainter& painter, const QRectF& frame, bool pressed) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const qreal radius = qMin(CornerRadius, qMin(frame.width(), frame.height()) / 2);
    QPainterPath outer;
    outer.addRoundedRect(frame, radius, radius);
    painter.fillPath(outer, borderColor());
    if (!pressed) {
        // The same shape one point in leaves the border in the darker blue.
        const QRectF inner = frame.adjusted(1, 1, -1, -1);
        QPainterPath face;
        face.addRoundedRect(inner, radius, radius);
        QLinearGradient gradient(inner.bottomLeft(), inner.topLeft()); // 90 degrees, one colour
        gradient.setColorAt(0, faceColor());
        gradient.setColorAt(1, faceColor());
        painter.fillPath(face, gradient);
    }
    painter.restore();
}

void CustomButtonCell::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    drawBezel(painter, QRectF(rect()), isDown());
    // The platform's own title (and image) drawing, in white.
    QStyleOptionButton option;
    initStyleOption(&option);
    option.features &= ~QStyleOptionButton::DefaultButton;
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        option.palette.setColor(group, QPalette::ButtonText, Qt::white);
        option.palette.setColor(group, QPalette::WindowText, Qt::white);
    }
    painter.drawControl(QStyle::CE_PushButtonLabel, option);
}
