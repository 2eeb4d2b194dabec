#pragma once

#include <QGroupBox>

// A plain box that swallows mouse presses, so a click on its empty area reaches nothing behind it.
class ZHCustomBox : public QGroupBox {
    Q_OBJECT
  public:
    explicit ZHCustomBox(QWidget* parent = nullptr);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
};
