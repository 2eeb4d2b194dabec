#pragma once

#include "ZHTreeNode.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <memory>

// The model behind the restore outline's check boxes: a tree of ZHTreeNode under an invisible root,
// built from listing entries ("RelativePath", "Permission", "Type", "LMD", "LMT"), with three-state
// boxes kept consistent between parents and children. Folders carry a "Loading..." placeholder child
// until they are listed. A plain object; RestoreTreeModel shows it in a QTreeView.
class ZHTreeViewController {
  public:
    ZHTreeViewController();

    ZHTreeNode* mRootItem() const { return mRoot.get(); }
    void setDelegate(QObject* delegate) { mDelegate = delegate; }
    QObject* delegate() const { return mDelegate; }

    // Nodes for the entries, made with the parent's state, each with its placeholder child, not yet
    // attached. topLevel selects the size texts of the root's children (empty files "0.00 bytes").
    QList<ZHTreeNode*> makeNodes(const QList<QVariantMap>& entries, ZHTreeNode* parent, bool topLevel) const;

    void setRootNodeChildren(const QList<QVariantMap>& entries);
    void setChildren(const QList<QVariantMap>& entries, ZHTreeNode* node);
    void addDummyNodeToItem(ZHTreeNode* node);
    void removeDummyFornode(ZHTreeNode* node);

    // The user clicked the node's check box.
    void toggleCheckboxStateforNode(ZHTreeNode* node);
    // Pushes the node's on/off state down to its (expanded) descendants.
    void updateChildNode(ZHTreeNode* node);
    // The highest fully ticked nodes, in outline order.
    QList<ZHTreeNode*> getAllSelectedNode() const;
    void resetTree();

    // "%4.2f <unit>" of a size in bytes.
    static QString sizeText(qint64 bytes);
    // The size of a listing's "Type" text; digit group separators are read through.
    static qint64 sizeOfEntry(const QString& typeText);

  private:
    void setRootNode();
    void enumurateForSelChild(ZHTreeNode* node, QList<ZHTreeNode*>& out) const;

    std::unique_ptr<ZHTreeNode> mRoot;
    QPointer<QObject> mDelegate;
};
