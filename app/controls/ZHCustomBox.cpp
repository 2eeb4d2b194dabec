#include "ZHCustomBox.h"

#include <QMouseEvent>

ZHCustomBox::ZHCustomBox(QWidget* parent) : QGroupBox(parent) {}

void ZHCustomBox::mousePressEvent(QMouseEvent* event) {
    event->accept();
}
