#include "CustomTableView.h"

#include <QHeaderView>

CustomTableView::CustomTableView(QWidget* parent) : QTableView(parent) {
    verticalHeader()->hide();
    setShowGrid(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAlternatingRowColors(true);
}
