// The check-box tree behind the restore outline: states of parents and children after clicks, lazy
// children, the selection and the size texts.

#include "ZHTreeViewController.h"

#include <gtest/gtest.h>

namespace {

QVariantMap entry(const QString& name, bool folder, const QString& size = QStringLiteral("10")) {
    return {
        {QStringLiteral("RelativePath"), name},
        {QStringLiteral("Permission"), folder ? QStringLiteral("drwxr-xr-x") : QStringLiteral("-rw-r--r--")},
        {QStringLiteral("Type"), size},
        {QStringLiteral("LMD"), QStringLiteral("2024/03/01")},
        {QStringLiteral("LMT"), QStringLiteral("10:20:30")}};
}

ZHTreeNode* child(ZHTreeNode* node, const QString& name) {
    for (ZHTreeNode* c : node->getChildren())
        if (c->relativePath() == name)
            return c;
    return nullptr;
}

// root ─ Top ─┬─ Deep ─ only.txt
//             ├─ Three ─ a, b, c
//             └─ loose.txt
//       Other.txt
struct Tree {
    ZHTreeViewController t;
    ZHTreeNode *top, *deep, *only, *three, *loose, *other;
    Tree() {
        t.setRootNodeChildren(
            {entry(QStringLiteral("Top"), true), entry(QStringLiteral("Other.txt"), false)});
        top = child(t.mRootItem(), QStringLiteral("Top"));
        other = child(t.mRootItem(), QStringLiteral("Other.txt"));
        t.setChildren({entry(QStringLiteral("Deep"), true), entry(QStringLiteral("Three"), true),
                       entry(QStringLiteral("loose.txt"), false)},
                      top);
        deep = child(top, QStringLiteral("Deep"));
        three = child(top, QStringLiteral("Three"));
        loose = child(top, QStringLiteral("loose.txt"));
        t.setChildren({entry(QStringLiteral("only.txt"), false)}, deep);
        only = child(deep, QStringLiteral("only.txt"));
        t.setChildren({entry(QStringLiteral("a"), false), entry(QStringLiteral("b"), false),
                       entry(QStringLiteral("c"), false)},
                      three);
    }
};

} // namespace

TEST(TreeSelection, TickingAndUntickingWalksUpAndDown) {
    Tree tree;
    ASSERT_TRUE(tree.only && tree.three && tree.other);
    EXPECT_EQ(tree.top->fullPath(), QStringLiteral("Top"));
    EXPECT_EQ(tree.only->fullPath(), QStringLiteral("Top/Deep/only.txt"));

    // The only file of an unticked folder: the folder on, the first ancestor with an unticked other
    // child mixed, and every ancestor above it mixed.
    tree.t.toggleCheckboxStateforNode(tree.only);
    EXPECT_EQ(tree.only->checkState(), ZHTreeNode::On);
    EXPECT_EQ(tree.deep->checkState(), ZHTreeNode::On);
    EXPECT_EQ(tree.top->checkState(), ZHTreeNode::Mixed);
    EXPECT_EQ(tree.t.mRootItem()->checkState(), ZHTreeNode::Mixed);

    // A folder ticked under a mixed parent pushes its state down; unticking one of its three files
    // leaves the folder mixed and the ancestors mixed.
    tree.t.toggleCheckboxStateforNode(tree.three);
    for (ZHTreeNode* f : tree.three->getChildren())
        EXPECT_EQ(f->checkState(), ZHTreeNode::On);
    ZHTreeNode* b = child(tree.three, QStringLiteral("b"));
    tree.t.toggleCheckboxStateforNode(b);
    EXPECT_EQ(b->checkState(), ZHTreeNode::Off);
    EXPECT_EQ(tree.three->checkState(), ZHTreeNode::Mixed);
    EXPECT_EQ(tree.top->checkState(), ZHTreeNode::Mixed);

    // The last unticked file under a mixed folder: the folder on, its parent only when all its
    // children are on (loose.txt is not).
    tree.t.toggleCheckboxStateforNode(b);
    EXPECT_EQ(tree.three->checkState(), ZHTreeNode::On);
    EXPECT_EQ(tree.top->checkState(), ZHTreeNode::Mixed);
    tree.t.toggleCheckboxStateforNode(tree.loose);
    EXPECT_EQ(tree.top->checkState(), ZHTreeNode::On);
    EXPECT_EQ(tree.t.mRootItem()->checkState(), ZHTreeNode::Mixed); // Other.txt is off

    // Fully ticked Top is selected alone, not its files.
    const QList<ZHTreeNode*> selected = tree.t.getAllSelectedNode();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected.first(), tree.top);

    tree.t.resetTree();
    EXPECT_FALSE(tree.t.mRootItem()->hasChildren());
    EXPECT_TRUE(tree.t.getAllSelectedNode().isEmpty());
}

TEST(TreeSelection, MixedFolderUnderMixedParentAndLazyChildren) {
    Tree tree;
    tree.t.toggleCheckboxStateforNode(child(tree.three, QStringLiteral("a"))); // Three, Top, root mixed
    ASSERT_EQ(tree.three->checkState(), ZHTreeNode::Mixed);
    ASSERT_EQ(tree.top->checkState(), ZHTreeNode::Mixed);
    tree.t.toggleCheckboxStateforNode(tree.three);
    EXPECT_EQ(tree.three->checkState(), ZHTreeNode::On);
    for (ZHTreeNode* f : tree.three->getChildren())
        EXPECT_EQ(f->checkState(), ZHTreeNode::On);

    // Children arriving under a ticked folder arrive ticked, under an unticked one unticked, each
    // folder with its placeholder.
    ZHTreeNode* sub = child(tree.three, QStringLiteral("a"));
    EXPECT_EQ(sub->checkState(), ZHTreeNode::On);
    tree.t.setChildren({entry(QStringLiteral("x"), true)}, tree.three);
    ZHTreeNode* x = tree.three->childAtIndex(0);
    EXPECT_EQ(x->checkState(), ZHTreeNode::On);
    EXPECT_TRUE(x->hasdummyChildren());
    tree.t.setChildren({entry(QStringLiteral("y"), false)}, tree.deep);
    EXPECT_EQ(tree.deep->childAtIndex(0)->checkState(), ZHTreeNode::Off);
    tree.t.removeDummyFornode(x);
    EXPECT_FALSE(x->hasChildren());
}

TEST(TreeSelection, SizeTexts) {
    ZHTreeViewController t;
    t.setRootNodeChildren({entry(QStringLiteral("empty"), false, QStringLiteral("0")),
                           entry(QStringLiteral("big"), false, QStringLiteral("1,572,864")),
                           entry(QStringLiteral("dir"), true, QStringLiteral("4,096"))});
    EXPECT_EQ(t.mRootItem()->childAtIndex(0)->getFileSize(), QStringLiteral("0.00 bytes"));
    EXPECT_EQ(t.mRootItem()->childAtIndex(1)->getFileSize(), QStringLiteral("1.50 MB"));
    EXPECT_EQ(t.mRootItem()->childAtIndex(2)->getFileSize(), QStringLiteral("--"));
    EXPECT_EQ(t.mRootItem()->childAtIndex(1)->getfilePermission(), QStringLiteral("10:20:30"));
    ZHTreeNode* dir = t.mRootItem()->childAtIndex(2);
    t.setChildren({entry(QStringLiteral("zero"), false, QStringLiteral("0")),
                   entry(QStringLiteral("k"), false, QStringLiteral("2048"))},
                  dir);
    EXPECT_EQ(dir->childAtIndex(0)->getFileSize(), QStringLiteral("--"));
    EXPECT_EQ(dir->childAtIndex(1)->getFileSize(), QStringLiteral("2.00 KB"));
}
