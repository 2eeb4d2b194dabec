#include "MenuIconAnimation.h"

#include <QSystemTrayIcon>
#include <QTimer>

MenuIconAnimation::MenuIconAnimation(QSystemTrayIcon* statusItem, ms animationInterval, ms blinkInterval,
                                     QObject* parent)
    : MenuIconAnimation(
          [item = QPointer<QSystemTrayIcon>(statusItem)](const QIcon& icon) {
              if (item)
                  item->setIcon(icon);
          },
          animationInterval, blinkInterval, parent) {}

MenuIconAnimation::MenuIconAnimation(ImageSetter setter, ms animationInterval, ms blinkInterval,
                                     QObject* parent)
    : QObject(parent), mSetter(std::move(setter)), mAnimationInterval(animationInterval),
      mBlinkInterval(blinkInterval) {}

MenuIconAnimation::~MenuIconAnimation() = default;

void MenuIconAnimation::show(const QIcon& icon) {
    if (mSetter)
        mSetter(icon);
}

void MenuIconAnimation::setAnimatingIcons(const QList<QIcon>& icons) {
    mAnimatingIcons = icons;
    mIconIdex = 0;
    mDisplayIcon = mAnimatingIcons.isEmpty() ? QIcon() : mAnimatingIcons.first();
}

void MenuIconAnimation::animateIcons() {
    // Without frames a tick has nothing to show (and no count to wrap the index with).
    const int count = int(mAnimatingIcons.size());
    if (count == 0)
        return;
    if (mIconIdex < count)
        mDisplayIcon = mAnimatingIcons.at(mIconIdex);
    mIconIdex = (mIconIdex + 1) % count;
    if (!mDisplayIcon.isNull())
        show(mDisplayIcon);
}

void MenuIconAnimation::startAnimation() {
    delete mAnimationTimer;
    mAnimationTimer = new QTimer(this);
    connect(mAnimationTimer, &QTimer::timeout, this, &MenuIconAnimation::animateIcons);
    mAnimationTimer->start(mAnimationInterval);
    animateIcons(); // the first firing is now
}

void MenuIconAnimation::stopAnimation() {
    delete mAnimationTimer;
    mAnimationTimer = nullptr;
}

void MenuIconAnimation::setBlinkingIcons(const QList<QIcon>& icons) {
    mBlinkingIcons = icons;
    mBlinkIconIdex = 0;
    if (!mBlinkingIcons.isEmpty())
        mBlinkDisplayIcon = mBlinkingIcons.first();
}

void MenuIconAnimation::blinkIcons() {
    if (mBlinkIconIdex < mBlinkingIcons.size())
        mBlinkDisplayIcon = mBlinkingIcons.at(mBlinkIconIdex);
    mBlinkIconIdex = mBlinkIconIdex == 0 ? 1 : 0;
    if (!mBlinkDisplayIcon.isNull())
        show(mBlinkDisplayIcon);
}

void MenuIconAnimation::startBlinking() {
    if (mAnimationTimer || !mShouldBlink)
        return;
    delete mBlinkingTimer;
    mBlinkingTimer = new QTimer(this);
    connect(mBlinkingTimer, &QTimer::timeout, this, &MenuIconAnimation::blinkIcons);
    mBlinkingTimer->start(mBlinkInterval);
    blinkIcons();
}

void MenuIconAnimation::stopBlinking() {
    delete mBlinkingTimer;
    mBlinkingTimer = nullptr;
}
