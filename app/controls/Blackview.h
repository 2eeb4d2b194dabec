#pragma once

#include <QWidget>

// A panel in the application's dark colour; its children draw over it as usual.
class Blackview : public QWidget {
    Q_OBJECT
  public:
    static QColor fillColor() { return QColor(59, 67, 73); }

    explicit Blackview(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};
