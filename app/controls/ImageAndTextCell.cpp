#include "ImageAndTextCell.h"

#include <QApplication>
#include <QFontDatabase>
#include <QIcon>
#include <QPainter>

ImageAndTextCell::ImageAndTextCell(QObject* parent) : QStyledItemDelegate(parent) {}

QFont ImageAndTextCell::textFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    // The size is meant in points of a 72-dpi screen, that is pixels.
    font.setPixelSize(FontPointSize);
    return font;
}

QPixmap ImageAndTextCell::imageFor(const QModelIndex& index) const {
    const QVariant decoration = index.data(Qt::DecorationRole);
    switch (decoration.typeId()) {
    case QMetaType::QPixmap:
        return decoration.value<QPixmap>();
    case QMetaType::QImage:
        return QPixmap::fromImage(decoration.value<QImage>());
    case QMetaType::QIcon: {
        const QIcon icon = decoration.value<QIcon>();
        return icon.pixmap(icon.availableSizes().value(0, QSize(16, 16)));
    }
    default:
        return mImage;
    }
}

QRect ImageAndTextCell::imageFrame(const QRect& cellFrame, const QModelIndex& index) const {
    const QPixmap image = imageFor(index);
    if (image.isNull())
        return QRect();
    const QSize size = image.deviceIndependentSize().toSize();
    return QRect(cellFrame.left() + ImageInset, cellFrame.top() + (cellFrame.height() - size.height()) / 2,
                 size.width(), size.height());
}

QRect ImageAndTextCell::textFrame(const QRect& cellFrame, const QModelIndex& index) const {
    const QRect image = imageFrame(cellFrame, index);
    if (image.isNull())
        return cellFrame;
    QRect text = cellFrame;
    text.setLeft(image.right() + 1 + TextGap);
    return text;
}

ImageAndTextCell::Hit ImageAndTextCell::hitTest(const QPoint& point, const QRect& cellFrame,
                                                const QModelIndex& index) const {
    if (imageFrame(cellFrame, index).contains(point))
        return Hit::ContentArea;
    if (textFrame(cellFrame, index).contains(point))
        return Hit::EditableTextArea;
    return Hit::None;
}

void ImageAndTextCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    // Background and selection the platform's way, then image and text ourselves.
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    opt.text.clear();
    opt.icon = QIcon();
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    painter->save();
    const QPixmap image = imageFor(index);
    const QRect imageRect = imageFrame(option.rect, index);
    if (!image.isNull())
        painter->drawPixmap(imageRect, image);
    const QFont font = textFont();
    painter->setFont(font);
    const bool selected = option.state & QStyle::State_Selected;
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    const QRect text = textFrame(option.rect, index).adjusted(0, 0, -2, 0);
    const QString value = index.data(Qt::DisplayRole).toString();
    painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                      QFontMetrics(font).elidedText(value, Qt::ElideRight, text.width()));
    painter->restore();
}

QSize ImageAndTextCell::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QFontMetrics metrics(textFont());
    const QPixmap image = imageFor(index);
    const QSize imageSize = image.isNull() ? QSize() : image.deviceIndependentSize().toSize();
    const int width = ImageInset + (image.isNull() ? 0 : imageSize.width() + TextGap) +
                      metrics.horizontalAdvance(index.data(Qt::DisplayRole).toString()) + 4;
    const int height = qMax(metrics.height(), imageSize.height()) + 4;
    Q_UNUSED(option);
    return QSize(width, height);
}

void ImageAndTextCell::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                            const QModelIndex& index) const {
    // Editing covers the text only, never the image.
    editor->setGeometry(textFrame(option.rect, index));
}
