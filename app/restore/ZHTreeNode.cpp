#include "ZHTreeNode.h"

#include <QHash>

const QString ZHTreeNode::LoadingName = QStringLiteral("Loading...");

ZHTreeNode::ZHTreeNode(const QString& path, ZHTreeNode* parent, int checkBoxState, bool isDir,
                       const QString& fileSize, const QString& filePermission,
                       const QString& modificationDate, QHash<QString, ZHTreeNode*>* mapTable)
    : mRelativePath(parent ? path.section(u'/', -1, -1, QString::SectionSkipEmpty) : path), mParent(parent),
      mCheckState(checkBoxState), mIsAFile(!isDir), mFileSize(fileSize), mModificationDate(modificationDate),
      mFilePermission(filePermission) {
    if (parent && mRelativePath.isEmpty())
        mRelativePath = path;
    if (mapTable)
        mapTable->insert(fullPath(), this);
}

ZHTreeNode::~ZHTreeNode() {
    qDeleteAll(mChildren);
}

QString ZHTreeNode::fullPath() const {
    if (!mParent)
        return mRelativePath;
    const QString base = mParent->fullPath();
    if (base.isEmpty())
        return mRelativePath;
    return base.endsWith(u'/') ? base + mRelativePath : base + u'/' + mRelativePath;
}

const QList<ZHTreeNode*>& ZHTreeNode::children() {
    if (!mIsAFile)
        mIsExpanded = true;
    return mChildren;
}

ZHTreeNode* ZHTreeNode::childAtIndex(qsizetype index) const {
    return index >= 0 && index < mChildren.size() ? mChildren.at(index) : nullptr;
}

qsizetype ZHTreeNode::indexOfChild(const ZHTreeNode* child) const {
    return mChildren.indexOf(const_cast<ZHTreeNode*>(child));
}

bool ZHTreeNode::hasdummyChildren() const {
    return mChildren.size() == 1 && mChildren.first()->isPlaceholder();
}

void ZHTreeNode::setChildren(const QList<ZHTreeNode*>& children) {
    QList<ZHTreeNode*> old;
    old.swap(mChildren);
    for (ZHTreeNode* child : children) {
        old.removeOne(child);
        child->mParent = this;
        mChildren.append(child);
    }
    qDeleteAll(old);
}

void ZHTreeNode::removeChildren() {
    qDeleteAll(mChildren);
    mChildren.clear();
}
