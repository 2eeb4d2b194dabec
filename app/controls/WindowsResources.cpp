#include "WindowsResources.h"

#include <QPalette>
#include <QWidget>
#include <QtCore/qglobal.h>

void initWindowsResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(windows);
        return true;
    }();
    Q_UNUSED(done);
}

void makeWhiteWindow(QWidget& window) {
    window.setWindowFlag(Qt::Window);
    QPalette white = window.palette();
    white.setColor(QPalette::Window, Qt::white);
    window.setPalette(white);
    window.setAutoFillBackground(true);
}
