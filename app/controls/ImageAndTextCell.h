#pragma once

#include <QPixmap>
#include <QStyledItemDelegate>

// A cell with an optional image before its text: the image 3 points from the left edge, centred
// vertically; the text 3 points after it in the 11-point system font, cut at the tail, centred
// vertically. The image is the item's decoration when it has one, else the cell's own image.
class ImageAndTextCell : public QStyledItemDelegate {
    Q_OBJECT
  public:
    static constexpr int ImageInset = 3;
    static constexpr int TextGap = 3;
    static constexpr int FontPointSize = 11;

    enum class Hit { None, ContentArea, EditableTextArea };

    explicit ImageAndTextCell(QObject* parent = nullptr);

    QPixmap image() const { return mImage; }
    void setImage(const QPixmap& image) { mImage = image; }

    // Where the image and the text of index go inside cellFrame.
    QRect imageFrame(const QRect& cellFrame, const QModelIndex& index) const;
    QRect textFrame(const QRect& cellFrame, const QModelIndex& index) const;
    // A point in the image counts as a hit on the cell's content; the text area is editable.
    Hit hitTest(const QPoint& point, const QRect& cellFrame, const QModelIndex& index) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

  private:
    QPixmap imageFor(const QModelIndex& index) const;
    static QFont textFont();

    QPixmap mImage;
};
