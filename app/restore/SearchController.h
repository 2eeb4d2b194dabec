#pragma once

#include <QList>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>

#include <optional>

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

    explicit SearchController(QWidget* parent = nullptr);
    ~SearchController() override;

    // The hits of a search of the account's local index for text: none when the index cannot be
    // searched, else every path containing text ("%", "_" and "'" are plain characters).
    static std::optional<QList<QVariantMap>> searchIndex(const QString& accountFolder, const QString& account,
                                                         const QString& text);

    void setSearchResult(const QList<QVariantMap>& hits);
    QStringList getSearchList() const { return mSelectedList; }
    QString countText() const;
    Ui::SearchController* ui() const { return mUi; }

    void Back();

  signals:
    void backRequested();

  private:
    void stateEdited(QTableWidgetItem* item);
    void refreshLabel();

    Ui::SearchController* mUi;
    QList<QVariantMap> mResult;
    QStringList mSelectedList;
    bool mFilling = false;
};
