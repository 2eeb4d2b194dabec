#include "AccessibleControls.h"

#include "CustomButtonCell.h"

#include <QAccessibleWidget>

namespace {

class AccessibleCustomButton : public QAccessibleWidget {
  public:
    explicit AccessibleCustomButton(CustomButtonCell* button)
        : QAccessibleWidget(button, QAccessible::Button) {
        addControllingSignal(QStringLiteral("clicked(bool)"));
    }

    QString text(QAccessible::Text t) const override {
        const auto* b = button();
        if (t == QAccessible::Name) {
            if (!b->accessibleName().isEmpty())
                return b->accessibleName();
            QString title = b->text();
            title.remove(u'&');
            return title.isEmpty() ? b->toolTip() : title;
        }
        if (t == QAccessible::Description && b->accessibleDescription().isEmpty())
            return b->toolTip();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        const auto* b = button();
        s.pressed = b->isDown();
        if (b->isCheckable()) {
            s.checkable = true;
            s.checked = b->isChecked();
        }
        s.defaultButton = b->isDefault();
        return s;
    }

    QStringList actionNames() const override {
        return button()->isEnabled() ? QStringList{pressAction()} : QStringList();
    }

    void doAction(const QString& name) override {
        if (name == pressAction() && button()->isEnabled())
            button()->click();
    }

  private:
    CustomButtonCell* button() const { return static_cast<CustomButtonCell*>(object()); }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("CustomButtonCell") || className == QLatin1String("CustomButtonWithImage"))
        return new AccessibleCustomButton(static_cast<CustomButtonCell*>(object));
    return nullptr;
}

} // namespace

void AccessibleControls::install() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(factory);
}
