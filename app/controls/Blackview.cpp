#include "Blackview.h"

#include <QPainter>

Blackview::Blackview(QWidget* parent) : QWidget(parent) {}

void Blackview::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(rect(), fillColor());
    QWidget::paintEvent(event);
}
