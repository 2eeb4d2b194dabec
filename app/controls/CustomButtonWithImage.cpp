#include "CustomButtonWithImage.h"

CustomButtonWithImage::CustomButtonWithImage(QWidget* parent) : CustomButtonCell(parent) {}
