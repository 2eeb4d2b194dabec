#pragma once

#include <QStyledItemDelegate>

class CustomTableColumn;
class CustomTableView;

// What a table's extended delegate implements to choose the drawing of single cells of a column.
class CustomTableColumnCellSource {
  public:
    virtual ~CustomTableColumnCellSource() = default;
    // The delegate for row of column, or nullptr for the column's own drawing.
    virtual QAbstractItemDelegate* tableColumn(CustomTableColumn* column, CustomTableView* table,
                                               int row) = 0;
};

// A column delegate that lets the table's extended delegate pick another delegate row by row; rows
// it does not care about draw with the column's own (styled) drawing.
class CustomTableColumn : public QStyledItemDelegate {
    Q_OBJECT
  public:
    explicit CustomTableColumn(CustomTableView* table);

    // The delegate that serves row: the extended delegate's choice, else this column itself.
    const QAbstractItemDelegate* dataCellForRow(int row) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

  private:
    QAbstractItemDelegate* chosen(int row) const;

    CustomTableView* mTable;
};
