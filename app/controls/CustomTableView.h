#pragma once

#include <QPointer>
#include <QTableView>

// A plain table view that carries two things for its owner: an extended delegate (asked by
// CustomTableColumn for per-row delegates) and a tag telling the owner's tables apart.
class CustomTableView : public QTableView {
    Q_OBJECT
    Q_PROPERTY(QObject* extendedDelegate READ extendedDelegate WRITE setExtendedDelegate)
    Q_PROPERTY(int tag READ tag WRITE setTag)
  public:
    explicit CustomTableView(QWidget* parent = nullptr);

    QObject* extendedDelegate() const { return mExtendedDelegate; }
    void setExtendedDelegate(QObject* object) { mExtendedDelegate = object; }
    int tag() const { return mTag; }
    void setTag(int tag) { mTag = tag; }

  private:
    QPointer<QObject> mExtendedDelegate;
    int mTag = 0;
};
