#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>

class QSystemTrayIcon;
class QTimer;

// Cycles the tray icon through the animation frames while a backup runs, and offers a two-image
// blink. Each tick sets the image through the item given at creation; stopping leaves the last frame.
class MenuIconAnimation : public QObject {
    Q_OBJECT
  public:
    using ms = std::chrono::milliseconds;
    // Where a tick puts its image; a tray icon by default.
    using ImageSetter = std::function<void(const QIcon&)>;

    explicit MenuIconAnimation(QSystemTrayIcon* statusItem, ms animationInterval = ms(170),
                               ms blinkInterval = ms(400), QObject* parent = nullptr);
    MenuIconAnimation(ImageSetter setter, ms animationInterval, ms blinkInterval, QObject* parent = nullptr);
    ~MenuIconAnimation() override;

    void setAnimatingIcons(const QList<QIcon>& icons);
    void animateIcons(); // one tick; does nothing without frames
    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return mAnimationTimer != nullptr; }

    void setBlinkingIcons(const QList<QIcon>& icons);
    void blinkIcons();
    void startBlinking();
    void stopBlinking();
    bool isBlinking() const { return mBlinkingTimer != nullptr; }
    bool shouldBlink() const { return mShouldBlink; }
    void setShouldBlink(bool shouldBlink) { mShouldBlink = shouldBlink; }

    // The frame shown at the last tick (null before the first) and the index of the next one.
    QIcon displayIcon() const { return mDisplayIcon; }

  private:
    void show(const QIcon& icon);

    ImageSetter mSetter;
    ms mAnimationInterval;
    ms mBlinkInterval;
    QList<QIcon> mAnimatingIcons;
    QTimer* mAnimationTimer = nullptr;
    QIcon mDisplayIcon;
    int mIconIdex = 0;
    QList<QIcon> mBlinkingIcons;
    QTimer* mBlinkingTimer = nullptr;
    QIcon mBlinkDisplayIcon;
    int mBlinkIconIdex = 0;
    bool mShouldBlink = true;
};
