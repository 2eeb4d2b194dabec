#pragma once

#include "CustomButtonCell.h"

// The blue button with an image before its title; the image is drawn by the base button's label
// drawing, the bezel is the one of CustomButtonCell.
class CustomButtonWithImage : public CustomButtonCell {
    Q_OBJECT
  public:
    explicit CustomButtonWithImage(QWidget* parent = nullptr);
};
