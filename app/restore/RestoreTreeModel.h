#pragma once

#include "ZHTreeViewController.h"

#include <QAbstractItemModel>
#include <QIcon>

// Shows a ZHTreeViewController in a QTreeView: columns "Name" (three-state check box and icon), "Size",
// "Date Modified", "Version". Clicking a box goes through toggleCheckboxStateforNode. Children are
// installed with row insertions so that the view keeps what is expanded.
class RestoreTreeModel : public QAbstractItemModel {
    Q_OBJECT
  public:
    enum Column { NameColumn, SizeColumn, DateColumn, VersionColumn, ColumnCount };

    explicit RestoreTreeModel(QObject* parent = nullptr);

    ZHTreeViewController& tree() { return mTree; }
    ZHTreeNode* nodeFor(const QModelIndex& index) const;
    QModelIndex indexFor(ZHTreeNode* node, int column = 0) const;

    void setRootEntries(const QList<QVariantMap>& entries);
    void setFolderEntries(ZHTreeNode* folder, const QList<QVariantMap>& entries);
    // Empties the tree (root off) and, when asked, gives the root the "Loading..." placeholder.
    void resetTree(bool withPlaceholder);
    void toggle(ZHTreeNode* node);
    // Bumped whenever the tree is emptied; a listing started for an older generation is dropped.
    quint64 generation() const { return mGeneration; }

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    void replaceChildren(ZHTreeNode* node, const QList<ZHTreeNode*>& children);
    void announceStates(ZHTreeNode* node);

    ZHTreeViewController mTree;
    QIcon mFileIcon;
    QIcon mFolderIcon;
    quint64 mGeneration = 0;
};
