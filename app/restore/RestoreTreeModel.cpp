#include "RestoreTreeModel.h"

#include <QApplication>
#include <QStyle>

RestoreTreeModel::RestoreTreeModel(QObject* parent) : QAbstractItemModel(parent) {
    mFileIcon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    mFolderIcon = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
}

ZHTreeNode* RestoreTreeModel::nodeFor(const QModelIndex& index) const {
    return index.isValid() ? static_cast<ZHTreeNode*>(index.internalPointer()) : mTree.mRootItem();
}

QModelIndex RestoreTreeModel::indexFor(ZHTreeNode* node, int column) const {
    if (!node || !node->parentNode())
        return QModelIndex();
    return createIndex(int(node->parentNode()->indexOfChild(node)), column, node);
}

void RestoreTreeModel::replaceChildren(ZHTreeNode* node, const QList<ZHTreeNode*>& children) {
    const QModelIndex parentIndex = indexFor(node);
    if (node->numberOfChildren() > 0) {
        beginRemoveRows(parentIndex, 0, int(node->numberOfChildren()) - 1);
        node->removeChildren();
        endRemoveRows();
    }
    if (!children.isEmpty()) {
        beginInsertRows(parentIndex, 0, int(children.size()) - 1);
        node->setChildren(children);
        endInsertRows();
    }
}

void RestoreTreeModel::setRootEntries(const QList<QVariantMap>& entries) {
    replaceChildren(mTree.mRootItem(), mTree.makeNodes(entries, mTree.mRootItem(), true));
}

void RestoreTreeModel::setFolderEntries(ZHTreeNode* folder, const QList<QVariantMap>& entries) {
    replaceChildren(folder, mTree.makeNodes(entries, folder, false));
}

void RestoreTreeModel::resetTree(bool withPlaceholder) {
    beginResetModel();
    ++mGeneration;
    mTree.resetTree();
    if (withPlaceholder)
        mTree.addDummyNodeToItem(mTree.mRootItem());
    endResetModel();
}

void RestoreTreeModel::toggle(ZHTreeNode* node) {
    mTree.toggleCheckboxStateforNode(node);
    announceStates(mTree.mRootItem());
}

void RestoreTreeModel::announceStates(ZHTreeNode* node) {
    if (!node->hasChildren())
        return;
    const auto& children = node->getChildren();
    emit dataChanged(createIndex(0, NameColumn, children.first()),
                     createIndex(int(children.size()) - 1, NameColumn, children.last()),
                     {Qt::CheckStateRole});
    for (ZHTreeNode* child : children)
        if (!child->isAFile())
            announceStates(child);
}

QModelIndex RestoreTreeModel::index(int row, int column, const QModelIndex& parent) const {
    ZHTreeNode* node = nodeFor(parent);
    ZHTreeNode* child = node ? node->childAtIndex(row) : nullptr;
    return child && column >= 0 && column < ColumnCount ? createIndex(row, column, child) : QModelIndex();
}

QModelIndex RestoreTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid())
        return QModelIndex();
    return indexFor(nodeFor(child)->parentNode());
}

int RestoreTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0)
        return 0;
    ZHTreeNode* node = nodeFor(parent);
    return node && !node->isAFile() ? int(node->numberOfChildren()) : 0;
}

int RestoreTreeModel::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

bool RestoreTreeModel::hasChildren(const QModelIndex& parent) const {
    ZHTreeNode* node = nodeFor(parent);
    return node && !node->isAFile() && node->isExpanded() && !node->isPlaceholder() && node->hasChildren();
}

QVariant RestoreTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return QVariant();
    const ZHTreeNode* node = nodeFor(index);
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case NameColumn:
            return node->isPlaceholder() ? tr("Loading...") : node->relativePath();
        case SizeColumn:
            return node->getFileSize();
        case DateColumn:
            return node->getModificationDate();
        case VersionColumn:
            return node->getfilePermission();
        }
    } else if (role == Qt::CheckStateRole && index.column() == NameColumn && !node->isPlaceholder()) {
        switch (node->checkState()) {
        case ZHTreeNode::On:
            return Qt::Checked;
        case ZHTreeNode::Mixed:
            return Qt::PartiallyChecked;
        default:
            return Qt::Unchecked;
        }
    } else if (role == Qt::DecorationRole && index.column() == NameColumn && !node->isPlaceholder()) {
        return node->isAFile() ? mFileIcon : mFolderIcon;
    }
    return QVariant();
}

bool RestoreTreeModel::setData(const QModelIndex& index, const QVariant&, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || nodeFor(index)->isPlaceholder())
        return false;
    toggle(nodeFor(index));
    return true;
}

Qt::ItemFlags RestoreTreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == NameColumn && !nodeFor(index)->isPlaceholder())
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant RestoreTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    static const char* const titles[] = {QT_TR_NOOP("Name"), QT_TR_NOOP("Size"), QT_TR_NOOP("Date Modified"),
                                         QT_TR_NOOP("Version")};
    return section >= 0 && section < ColumnCount ? tr(titles[section]) : QVariant();
}
