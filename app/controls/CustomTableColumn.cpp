#include "CustomTableColumn.h"

#include "CustomTableView.h"

CustomTableColumn::CustomTableColumn(CustomTableView* table) : QStyledItemDelegate(table), mTable(table) {}

QAbstractItemDelegate* CustomTableColumn::chosen(int row) const {
    auto* source = mTable ? dynamic_cast<CustomTableColumnCellSource*>(mTable->extendedDelegate()) : nullptr;
    if (!source)
        return nullptr;
    QAbstractItemDelegate* cell = source->tableColumn(const_cast<CustomTableColumn*>(this), mTable, row);
    return cell == this ? nullptr : cell;
}

const QAbstractItemDelegate* CustomTableColumn::dataCellForRow(int row) const {
    const QAbstractItemDelegate* cell = chosen(row);
    return cell ? cell : this;
}

void CustomTableColumn::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    if (QAbstractItemDelegate* cell = chosen(index.row()))
        cell->paint(painter, option, index);
    else
        QStyledItemDelegate::paint(painter, option, index);
}

QSize CustomTableColumn::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    if (QAbstractItemDelegate* cell = chosen(index.row()))
        return cell->sizeHint(option, index);
    return QStyledItemDelegate::sizeHint(option, index);
}

QWidget* CustomTableColumn::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                         const QModelIndex& index) const {
    if (QAbstractItemDelegate* cell = chosen(index.row()))
        return cell->createEditor(parent, option, index);
    return QStyledItemDelegate::createEditor(parent, option, index);
}

bool CustomTableColumn::editorEvent(QEvent* event, QAbstractItemModel* model,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (QAbstractItemDelegate* cell = chosen(index.row()))
        return cell->editorEvent(event, model, option, index);
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}
