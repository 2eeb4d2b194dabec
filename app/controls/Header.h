#pragma once

#include <QWidget>

// The blue strip at the top of the status window: fills itself, then its children draw as usual.
class Header : public QWidget {
    Q_OBJECT
  public:
    explicit Header(QWidget* parent = nullptr);

    static QColor fillColor();

  protected:
    void paintEvent(QPaintEvent* event) override;
};
