// The check-box tree behind the restore outline: states of parents and children after clicks, lazy
// children, the selection and the size texts.

#include "ZHTreeViewController.h"

#include <gtest/gtest.h>

namespace {

QVariantMap entry(const QString& name, bool folder, const QString& size = QStringLiteral("10")) {
    return {{"RelativePath", name},
            {"Permission", folder ? "drwxr-xr-x" : "-rw-r--r--"},
            {"Type", size},
            {"LMD", "2024/03/01"},
            {"LMT", "10:20:30"}};
}

ZHTreeNode* child(ZHTreeNode* node, const QString& name) {
    for (ZHTreeNode* c : node->getChildren())
        if (c->relativePath() == name)
            return c;
    return nullptr;
}

} // namespace

TEST(ZHTreeViewControllerTest, TickingWalksUpAndDownAndLazyChildrenFollowTheirFolder) {
    // root ─ Top ─┬─ Deep ─ only.txt
    //             ├─ Three ─ a, b, c
    //             └─ loose.txt
    //       Other.txt
    ZHTreeViewController t;
    t.setRootNodeChildren({entry("Top", true), entry("Other.txt", false)});
    ZHTreeNode* top = child(t.mRootItem(), "Top");
    t.setChildren({entry("Deep", true), entry("Three", true), entry("loose.txt", false)}, top);
    ZHTreeNode *deep = child(top, "Deep"), *three = child(top, "Three");
    t.setChildren({entry("only.txt", false)}, deep);
    t.setChildren({entry("a", false), entry("b", false), entry("c", false)}, three);
    ZHTreeNode* only = child(deep, "only.txt");
    ASSERT_TRUE(only && three);
    EXPECT_EQ(only->fullPath(), QStringLiteral("Top/Deep/only.txt"));

    // The only file of an unticked folder: the folder on, every ancestor above it mixed.
    t.toggleCheckboxStateforNode(only);
    EXPECT_EQ(deep->checkState(), ZHTreeNode::On);
    EXPECT_EQ(top->checkState(), ZHTreeNode::Mixed);
    EXPECT_EQ(t.mRootItem()->checkState(), ZHTreeNode::Mixed);
    // One file of three: the folder mixed; the folder clicked then: all of it on.
    t.toggleCheckboxStateforNode(child(three, "a"));
    EXPECT_EQ(three->checkState(), ZHTreeNode::Mixed);
    t.toggleCheckboxStateforNode(three);
    for (ZHTreeNode* f : three->getChildren())
        EXPECT_EQ(f->checkState(), ZHTreeNode::On);
    // Unticking one leaves the folder mixed; ticking it again puts it on, its parent only once all its
    // children are on.
    t.toggleCheckboxStateforNode(child(three, "b"));
    EXPECT_EQ(three->checkState(), ZHTreeNode::Mixed);
    t.toggleCheckboxStateforNode(child(three, "b"));
    EXPECT_EQ(three->checkState(), ZHTreeNode::On);
    EXPECT_EQ(top->checkState(), ZHTreeNode::Mixed);
    t.toggleCheckboxStateforNode(child(top, "loose.txt"));
    EXPECT_EQ(top->checkState(), ZHTreeNode::On);
    EXPECT_EQ(t.mRootItem()->checkState(), ZHTreeNode::Mixed); // Other.txt is off
    // Fully ticked Top is selected alone, not its files.
    EXPECT_EQ(t.getAllSelectedNode(), QList<ZHTreeNode*>{top});

    // Children arriving under a ticked folder arrive ticked, each folder with its placeholder.
    t.setChildren({entry("x", true)}, three);
    ZHTreeNode* x = three->childAtIndex(0);
    EXPECT_EQ(x->checkState(), ZHTreeNode::On);
    EXPECT_TRUE(x->hasdummyChildren());
    t.removeDummyFornode(x);
    EXPECT_FALSE(x->hasChildren());
    t.toggleCheckboxStateforNode(top);
    t.setChildren({entry("y", false)}, deep);
    EXPECT_EQ(deep->childAtIndex(0)->checkState(), ZHTreeNode::Off);

    t.resetTree();
    EXPECT_FALSE(t.mRootItem()->hasChildren());
    EXPECT_TRUE(t.getAllSelectedNode().isEmpty());
}

TEST(ZHTreeViewControllerTest, SizeTexts) {
    ZHTreeViewController t;
    t.setRootNodeChildren(
        {entry("empty", false, "0"), entry("big", false, "1,572,864"), entry("dir", true, "4,096")});
    ZHTreeNode* root = t.mRootItem();
    EXPECT_EQ(root->childAtIndex(0)->getFileSize() + u'|' + root->childAtIndex(1)->getFileSize() + u'|' +
                  root->childAtIndex(2)->getFileSize(),
              QStringLiteral("0.00 bytes|1.50 MB|--"));
    EXPECT_EQ(root->childAtIndex(1)->getfilePermission(), QStringLiteral("10:20:30"));
    t.setChildren({entry("zero", false, "0"), entry("k", false, "2048")}, root->childAtIndex(2));
    EXPECT_EQ(root->childAtIndex(2)->childAtIndex(0)->getFileSize() + u'|' +
                  root->childAtIndex(2)->childAtIndex(1)->getFileSize(),
              QStringLiteral("--|2.00 KB"));
}
