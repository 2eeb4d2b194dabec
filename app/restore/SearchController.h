#pragma once

#include "IndexSearch.h"

#include <QList>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>

#include <chrono>

namespace Ui {
class SearchController;
}
class QTableWidgetItem;

// The search results laid over the restore outline: one row per hit ("name", "size", "lmd") with a
// check box, the count label, and Back. The ticked names are what Restore takes while it is shown.
class SearchController : public QWidget {
    Q_OBJECT
  public:
    // A search shows at most this many hits.
    static constexpr int MaxHits = 20000;

    // What a search of the index gave: the hits, and whether they are all there is.
    struct Outcome {
        QList<QVariantMap> hits;
        // Ok, or why the search ended early (Locked: a merge of the daemon held the index past the
        // wait; CannotOpen: no index, or none readable; Failed: another SQLite error, in error).
        IndexSearch::Status status = IndexSearch::Status::Ok;
        bool more = false; // more paths match than the MaxHits shown
        QString error;
    };

    explicit SearchController(QWidget* parent = nullptr);
    ~SearchController() override;

    // A search of the account's local index for every path containing text ("%", "_" and "'" are
    // plain characters), at most maxHits of them.
    static Outcome searchIndex(const QString& accountFolder, const QString& account, const QString& text,
                               int maxHits = MaxHits,
                               std::chrono::milliseconds lockWait = IndexSearch::DefaultLockWait);

    // The hits and, beside the count, what became of the search.
    void setSearchOutcome(const Outcome& outcome);
    void setSearchResult(const QList<QVariantMap>& hits);
    QStringList getSearchList() const { return mSelectedList; }
    QString countText() const;
    // The count label for a search's outcome with shown hits on screen.
    static QString outcomeText(const Outcome& outcome, qsizetype shown);
    Ui::SearchController* ui() const { return mUi; }

    void Back();

  signals:
    void backRequested();

  private:
    void fill(const QList<QVariantMap>& hits);
    void stateEdited(QTableWidgetItem* item);
    void refreshLabel();

    Ui::SearchController* mUi;
    QList<QVariantMap> mResult;
    Outcome mOutcome; // the status of the search shown (its hits are mResult)
    QStringList mSelectedList;
    bool mFilling = false;
};
