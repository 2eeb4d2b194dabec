// Every window as assistive technology and a person with low vision meet it: each control that takes
// the focus has a name, text is readable against what it stands on, the status window's tab order
// starts with its primary action, and a log-in field's message is heard at the field.

#include "Blackview.h"
#include "CustomButtonCell.h"
#include "Header.h"
#include "WindowTour.h"
#include "ui_LoginController.h"
#include "ui_RestoreViewController.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cmath>
#include <map>

namespace {

// The focusable parts of the accessible tree under iface that have no name, as "role objectName".
void unnamedFocusable(QAccessibleInterface* iface, QStringList* found, int depth = 0) {
    if (!iface || !iface->isValid() || depth > 40)
        return;
    const QAccessible::State state = iface->state();
    // An empty cell of a table has nothing to name; a check box in one has.
    const bool cell = iface->role() == QAccessible::Cell || iface->role() == QAccessible::TreeItem ||
                      iface->role() == QAccessible::ListItem || iface->role() == QAccessible::Row;
    if (state.focusable && !state.invisible && (!cell || state.checkable) &&
        iface->text(QAccessible::Name).trimmed().isEmpty()) {
        const QObject* object = iface->object();
        found->append(
            QStringLiteral("%1 %2 (%3)")
                .arg(int(iface->role()))
                .arg(object ? object->objectName() : QStringLiteral("<item>"),
                     object ? QLatin1String(object->metaObject()->className()) : QLatin1String("")));
    }
    const int count = std::min(iface->childCount(), 400);
    for (int i = 0; i < count; ++i)
        unnamedFocusable(iface->child(i), found, depth + 1);
}

TEST(AccessibilityTest, EveryFocusableControlOfEveryWindowHasAName) {
    WindowTour tour;
    QStringList windows;
    tour.visit([&](const QString& name, QWidget* window) {
        windows << name;
        QStringList unnamed;
        unnamedFocusable(QAccessible::queryAccessibleInterface(window), &unnamed);
        EXPECT_TRUE(unnamed.isEmpty()) << name.toStdString() << ": " << unnamed.join(u", ").toStdString();
        // A cell that shows only an image (a delete button drawn in a list) says what it is.
        for (auto* view : window->findChildren<QAbstractItemView*>()) {
            const QAbstractItemModel* model = view->model();
            for (int row = 0; model && row < std::min(model->rowCount(), 50); ++row)
                for (int column = 0; column < model->columnCount(); ++column) {
                    const QModelIndex index = model->index(row, column);
                    if (index.data(Qt::DecorationRole).isValid() &&
                        index.data(Qt::DisplayRole).toString().isEmpty()) {
                        EXPECT_FALSE(index.data(Qt::AccessibleTextRole).toString().isEmpty())
                            << name.toStdString() << ": " << view->objectName().toStdString() << " row "
                            << row << " column " << column;
                    }
                }
        }
    });
    EXPECT_EQ(windows.size(), 11) << windows.join(u", ").toStdString();
}

TEST(AccessibilityTest, TheDrawnButtonsSayTheyAreButtonsWithTheirTitleOrToolTip) {
    CustomButtonCell titled(QStringLiteral("Send"));
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&titled);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->role(), QAccessible::Button);
    EXPECT_EQ(a->text(QAccessible::Name), QStringLiteral("Send"));
    CustomButtonCell imageOnly;
    imageOnly.setToolTip(QStringLiteral("Delete this log"));
    QAccessibleInterface* b = QAccessible::queryAccessibleInterface(&imageOnly);
    EXPECT_EQ(b->text(QAccessible::Name), QStringLiteral("Delete this log"));
    imageOnly.setCheckable(true);
    imageOnly.setChecked(true);
    EXPECT_TRUE(b->state().checkable);
    EXPECT_TRUE(b->state().checked);
    bool clicked = false;
    QObject::connect(&imageOnly, &QPushButton::clicked, [&] { clicked = true; });
    b->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(clicked);
}

TEST(AccessibilityTest, ARowOfTheRestoreTreeReportsItsCheckState) {
    WindowTour tour;
    RestoreViewController browser(tour.root.profile(), QString(), &tour.trace, nullptr);
    browser.show();
    waitUntil([&] { return !browser.isBusy(); }, 30000);
    RestoreTreeModel* model = browser.treeModel();
    model->setRootEntries({WindowTour::entry("Documents", true, "4096")});
    const QModelIndex first = model->index(0, 0);
    ASSERT_TRUE(model->setData(first, Qt::Checked, Qt::CheckStateRole));
    browser.ui()->mOutlineView->doItemsLayout(); // the rows as the view lays them out
    // The tree's first cell, as a screen reader finds it: named after the file, checkable and checked.
    QAccessibleInterface* found = nullptr;
    std::function<void(QAccessibleInterface*, int)> search = [&](QAccessibleInterface* i, int depth) {
        if (!i || found || depth > 20)
            return;
        if (i->text(QAccessible::Name) == QStringLiteral("Documents") && i->state().checkable)
            found = i;
        for (int c = 0; c < std::min(i->childCount(), 200) && !found; ++c)
            search(i->child(c), depth + 1);
    };
    search(QAccessible::queryAccessibleInterface(&browser), 0);
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(found->state().checked);
    model->setData(first, Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_FALSE(found->state().checked);
}

// ---- contrast

double channel(int v) {
    const double c = v / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}
double luminance(const QColor& c) {
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}
double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor parseColor(QString value) {
    value = value.trimmed();
    static const QRegularExpression rgb(QStringLiteral(R"(^rgba?\(\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+))"));
    if (const auto m = rgb.match(value); m.hasMatch())
        return QColor(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    return QColor::fromString(value.section(u' ', 0, 0));
}

struct Rule {
    QString selector; // "" for a sheet of bare declarations (the widget itself)
    QColor color, background;
};

QList<Rule> rulesOf(const QString& sheet) {
    QList<Rule> rules;
    const auto declarations = [](const QString& body, Rule* rule) {
        for (const QString& d : body.split(u';')) {
            const QString key = d.section(u':', 0, 0).trimmed();
            const QString value = d.section(u':', 1).trimmed();
            if (key == QLatin1String("color"))
                rule->color = parseColor(value);
            else if (key == QLatin1String("background") || key == QLatin1String("background-color"))
                rule->background = parseColor(value);
        }
    };
    if (!sheet.contains(u'{')) {
        Rule r;
        declarations(sheet, &r);
        rules << r;
        return rules;
    }
    static const QRegularExpression block(QStringLiteral(R"(([^{}]+)\{([^}]*)\})"));
    for (auto it = block.globalMatch(sheet); it.hasNext();) {
        const auto m = it.next();
        for (const QString& selector : m.captured(1).split(u',')) {
            Rule r;
            r.selector = selector.trimmed();
            declarations(m.captured(2), &r);
            rules << r;
        }
    }
    return rules;
}

bool matches(const QString& selector, QWidget* w) {
    const QString base = selector.section(u':', 0, 0);
    const QString type = base.section(u'#', 0, 0);
    const QString name = base.contains(u'#') ? base.section(u'#', 1) : QString();
    return (type.isEmpty() || w->inherits(type.toLatin1().constData())) &&
           (name.isEmpty() || w->objectName() == name);
}

// Each text color a style sheet gives a widget against the background it stands on, as "what: ratio".
QStringList lowContrast(QWidget* window, int* pairs) {
    struct Look {
        QList<QColor> colors, backgrounds;
    };
    std::map<QWidget*, Look> looks;
    QList<QWidget*> all = window->findChildren<QWidget*>();
    all.prepend(window);
    for (QWidget* owner : all) {
        for (const Rule& rule : rulesOf(owner->styleSheet())) {
            const QString state = rule.selector.section(u':', 1);
            if (state == QLatin1String("disabled"))
                continue; // an unavailable control is exempt
            QList<QWidget*> targets;
            if (rule.selector.isEmpty())
                targets << owner;
            else
                for (QWidget* w : all)
                    if ((w == owner || owner->isAncestorOf(w)) && matches(rule.selector, w))
                        targets << w;
            for (QWidget* t : targets) {
                if (rule.color.isValid())
                    looks[t].colors << rule.color;
                if (rule.background.isValid())
                    looks[t].backgrounds << rule.background;
            }
        }
    }
    QStringList low;
    for (const auto& [widget, look] : looks) {
        if (look.colors.isEmpty())
            continue;
        QList<QColor> grounds = look.backgrounds;
        for (QWidget* up = widget->parentWidget(); grounds.isEmpty() && up; up = up->parentWidget()) {
            if (auto it = looks.find(up); it != looks.end() && !it->second.backgrounds.isEmpty())
                grounds = it->second.backgrounds;
            else if (qobject_cast<Header*>(up))
                grounds << Header::fillColor();
            else if (qobject_cast<Blackview*>(up))
                grounds << Blackview::fillColor();
        }
        if (grounds.isEmpty())
            grounds << window->palette().color(QPalette::Window);
        for (const QColor& fg : look.colors)
            for (const QColor& bg : grounds) {
                ++*pairs;
                const double ratio = contrast(fg, bg);
                if (ratio < 4.5)
                    low << QStringLiteral("%1: %2 on %3 = %4")
                               .arg(widget->objectName(), fg.name(), bg.name())
                               .arg(ratio, 0, 'f', 2);
            }
    }
    for (auto* button : window->findChildren<CustomButtonCell*>()) {
        ++*pairs;
        if (contrast(Qt::white, CustomButtonCell::faceColor()) < 4.5)
            low << button->objectName() + QStringLiteral(": white on the button's face");
    }
    return low;
}

TEST(AccessibilityTest, ContrastRatioIsComputedAsWcagDefinesIt) {
    EXPECT_NEAR(contrast(Qt::black, Qt::white), 21.0, 0.01);
    EXPECT_NEAR(contrast(Qt::white, Qt::white), 1.0, 0.001);
    EXPECT_NEAR(contrast(Qt::white, QColor(90, 173, 246)), 2.40, 0.01); // the header's former blue
    EXPECT_EQ(parseColor(QStringLiteral("rgb(60,100,180)")), QColor(60, 100, 180));
    EXPECT_EQ(parseColor(QStringLiteral("#ffd6d6")), QColor(0xff, 0xd6, 0xd6));
    EXPECT_EQ(parseColor(QStringLiteral("white")), QColor(Qt::white));
    const QList<Rule> rules = rulesOf(QStringLiteral("QPushButton { background: rgb(1,2,3); color: white; }\n"
                                                     "QPushButton:pressed { background: rgb(4,5,6); }"));
    ASSERT_EQ(rules.size(), 2);
    EXPECT_EQ(rules[0].color, QColor(Qt::white));
    EXPECT_EQ(rules[1].background, QColor(4, 5, 6));
}

TEST(AccessibilityTest, EveryTextColorOfEveryWindowIsReadableAgainstItsBackground) {
    WindowTour tour;
    int pairs = 0;
    tour.visit([&](const QString& name, QWidget* window) {
        const QStringList low = lowContrast(window, &pairs);
        EXPECT_TRUE(low.isEmpty()) << name.toStdString() << ": " << low.join(u"; ").toStdString();
    });
    // The header's lines, the buttons' titles, the log-in window's messages and the report's notes.
    EXPECT_GE(pairs, 20);
    EXPECT_GE(contrast(Qt::white, Header::fillColor()), 4.5);
    EXPECT_GE(contrast(Qt::white, Blackview::fillColor()), 4.5);
}

// ---- focus

QWidget* firstInTabOrder(QWidget* window) {
    for (QWidget* w = window->nextInFocusChain(); w && w != window; w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(window) && w->isEnabled())
            return w;
    return nullptr;
}

TEST(AccessibilityTest, TheStatusWindowsTabOrderStartsWithPause) {
    WindowTour tour;
    tour.statusApp.type = 1; // backing up: Pause and the other actions are there
    const FilePathsController paths(FilePathsController::Table::Application, tour.root.profile());
    StatusController status(paths, tour.statusApp.statusOwner(), nullptr, nullptr);
    status.setPosition(QStringLiteral("ann"));
    status.showStausWindow();
    status.show();
    QWidget* first = firstInTabOrder(&status);

    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(outlet<QWidget>(&status, "pause")->isVisibleTo(&status));
    EXPECT_EQ(first->objectName(), QStringLiteral("pause"));
}

TEST(AccessibilityTest, ALogInFieldsMessageBecomesTheFieldsDescription) {
    AppTestHost::Options options;
    options.windows = applicationWindows();
    options.bus = false;
    AppTestHost host(options);
    ASSERT_TRUE(host.setUp().isEmpty());
    host.launch();
    LoginController* login = host.app().loginController();
    Ui::LoginController& ui = login->ui();
    login->show();
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    EXPECT_EQ(ui.pUsername->accessibleDescription(), QStringLiteral("Enter your user name"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(ui.pUsername)->text(QAccessible::Description),
              QStringLiteral("Enter your user name"));
    EXPECT_TRUE(ui.pwd->accessibleDescription().isEmpty());
    ui.pUsername->setText(QStringLiteral("ann"));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    EXPECT_EQ(ui.pwd->accessibleDescription(), QStringLiteral("Enter your password"));
}

} // namespace
