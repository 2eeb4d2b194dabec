#pragma once

#include <QList>
#include <QString>

class ZHTreeNode;
template <class K, class V> class QHash;

// One row of the restore outline: a file or folder of a listing. A node owns its children; the parent
// pointer is a plain back reference.
class ZHTreeNode {
  public:
    static constexpr int Off = 0;
    static constexpr int On = 1;
    static constexpr int Mixed = -1;

    // The name of the placeholder child a folder carries until it has been listed.
    static const QString LoadingName; // "Loading..."

    // With a parent, relativePath is the last component of path; without one, the whole path. When a
    // map table is given, the node registers itself in it under its full path.
    ZHTreeNode(const QString& path, ZHTreeNode* parent, int checkBoxState, bool isDir,
               const QString& fileSize, const QString& filePermission, const QString& modificationDate,
               QHash<QString, ZHTreeNode*>* mapTable = nullptr);
    ~ZHTreeNode();
    ZHTreeNode(const ZHTreeNode&) = delete;
    ZHTreeNode& operator=(const ZHTreeNode&) = delete;

    QString relativePath() const { return mRelativePath; }
    // The parent's full path with relativePath appended as a path component.
    QString fullPath() const;

    ZHTreeNode* parentNode() const { return mParent; }
    // The children; asking a folder for them marks it expanded.
    const QList<ZHTreeNode*>& children();
    const QList<ZHTreeNode*>& getChildren() const { return mChildren; }
    ZHTreeNode* childAtIndex(qsizetype index) const;
    qsizetype numberOfChildren() const { return mChildren.size(); }
    qsizetype indexOfChild(const ZHTreeNode* child) const;
    bool hasChildren() const { return !mChildren.isEmpty(); }
    bool ifNodeHaveChildren() const { return !mChildren.isEmpty(); }
    // True exactly when the only child is the "Loading..." placeholder.
    bool hasdummyChildren() const;
    bool isPlaceholder() const { return mRelativePath == LoadingName; }

    // Takes ownership of children (deleting the earlier ones) and makes itself their parent.
    void setChildren(const QList<ZHTreeNode*>& children);
    void removeChildren();

    int checkState() const { return mCheckState; }
    void setCheckBoxState(int state) { mCheckState = state; }
    bool isAFile() const { return mIsAFile; }
    void setIsAFile(bool file) { mIsAFile = file; }
    bool isExpanded() const { return mIsExpanded; }
    void setIsExpanded(bool expanded) { mIsExpanded = expanded; }
    QString getFileSize() const { return mFileSize; }
    QString getModificationDate() const { return mModificationDate; }
    QString getfilePermission() const { return mFilePermission; }

  private:
    QString mRelativePath;
    ZHTreeNode* mParent;
    QList<ZHTreeNode*> mChildren;
    int mCheckState;
    bool mIsAFile;
    bool mIsExpanded = false;
    QString mFileSize;
    QString mModificationDate;
    QString mFilePermission;
};
