#include "Header.h"

#include <QPainter>

Header::Header(QWidget* parent) : QWidget(parent) {}

QColor Header::fillColor() {
    return QColor(31, 95, 153);
}

void Header::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(rect(), fillColor());
    QWidget::paintEvent(event);
}
