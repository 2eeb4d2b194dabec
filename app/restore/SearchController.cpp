#include "SearchController.h"

#include "IndexSearch.h"
#include "ui_SearchController.h"

#include <QHeaderView>

#include <algorithm>

SearchController::SearchController(QWidget* parent) : QWidget(parent), mUi(new Ui::SearchController) {
    mUi->setupUi(this);
    mUi->pSearchTable->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    mUi->pSearchTable->setColumnWidth(0, 28);
    mUi->pSearchTable->setColumnWidth(3, 180); // "yyyy-MM-dd HH:mm:ss +0000" on one line
    connect(mUi->pSearchTable, &QTableWidget::itemChanged, this, &SearchController::stateEdited);
    connect(mUi->backButton, &QPushButton::clicked, this, &SearchController::Back);
}

SearchController::~SearchController() {
    delete mUi;
}

SearchController::Outcome SearchController::searchIndex(const QString& accountFolder, const QString& account,
                                                        const QString& text, int maxHits,
                                                        std::chrono::milliseconds lockWait) {
    // The index matches the text as written ("%", "_" and "'" included), a page at a time. A master
    // that cannot be opened, or that a merge holds locked past the wait, ends the search with what
    // it has and says why.
    Outcome outcome;
    const QString master = IndexSearch::masterPath(accountFolder, account);
    QString after;
    while (outcome.hits.size() < maxHits) {
        const int wanted = int(std::min<qsizetype>(IndexSearch::DefaultLimit, maxHits - outcome.hits.size()));
        const IndexSearch::Page page = IndexSearch::search(master, text, wanted, after, lockWait);
        if (page.status != IndexSearch::Status::Ok) {
            outcome.status = page.status;
            outcome.error = page.error;
            return outcome;
        }
        for (const IndexSearch::Hit& hit : page.hits)
            outcome.hits.append({{QStringLiteral("name"), hit.name},
                                 {QStringLiteral("size"), hit.size},
                                 {QStringLiteral("lmd"), hit.lmd}});
        if (!page.more || page.hits.isEmpty())
            return outcome;
        after = page.hits.last().name;
    }
    outcome.more = true; // the last page said more follow
    return outcome;
}

void SearchController::setSearchOutcome(const Outcome& outcome) {
    mOutcome = outcome;
    mOutcome.hits.clear(); // they live in mResult
    fill(outcome.hits);
}

void SearchController::setSearchResult(const QList<QVariantMap>& hits) {
    mOutcome = Outcome();
    fill(hits);
}

void SearchController::fill(const QList<QVariantMap>& hits) {
    mResult = hits;
    mFilling = true;
    auto* table = mUi->pSearchTable;
    table->setRowCount(0);
    table->setRowCount(int(hits.size()));
    for (int row = 0; row < hits.size(); ++row) {
        const QVariantMap& hit = hits.at(row);
        auto* state = new QTableWidgetItem;
        state->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        state->setCheckState(mSelectedList.contains(hit.value(QStringLiteral("name")).toString())
                                 ? Qt::Checked
                                 : Qt::Unchecked);
        state->setData(Qt::AccessibleTextRole,
                       tr("Restore %1").arg(hit.value(QStringLiteral("name")).toString()));
        table->setItem(row, 0, state);
        const char* const keys[] = {"name", "size", "lmd"};
        for (int column = 1; column <= 3; ++column) {
            auto* item = new QTableWidgetItem(hit.value(QString::fromLatin1(keys[column - 1])).toString());
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            table->setItem(row, column, item);
        }
    }
    mFilling = false;
    refreshLabel();
}

void SearchController::stateEdited(QTableWidgetItem* item) {
    if (mFilling || item->column() != 0 || item->row() >= mResult.size())
        return;
    const QString name = mResult.at(item->row()).value(QStringLiteral("name")).toString();
    if (item->checkState() == Qt::Checked) {
        if (!mSelectedList.contains(name))
            mSelectedList.append(name);
    } else {
        mSelectedList.removeAll(name);
    }
    refreshLabel();
}

QString SearchController::countText() const {
    return mUi->presult->text();
}

QString SearchController::outcomeText(const Outcome& outcome, qsizetype shown) {
    using Status = IndexSearch::Status;
    const QString count = shown == 1 ? tr("1 item found") : tr("%n items found", nullptr, int(shown));
    switch (outcome.status) {
    case Status::Ok:
        if (outcome.more)
            return tr("Showing the first %1: more match. Type more of the name to narrow the "
                      "search.")
                .arg(count);
        return shown == 0 ? tr("No items found") : count;
    case Status::Locked:
        if (shown > 0)
            return tr("Showing the first %1: the index became busy before the search ended. "
                      "Search again in a moment for the rest.")
                .arg(count);
        return tr("The index is busy: the backup is updating it. Search again in a moment.");
    case Status::CannotOpen:
        return tr("The index cannot be opened: this computer has no readable list of your "
                  "backed-up files yet (it is made after the first backup). Browse the "
                  "folders instead.");
    case Status::Failed:
        break;
    }
    const QString why = outcome.error.isEmpty() ? tr("an error of the index") : outcome.error;
    if (shown > 0)
        return tr("Showing the first %1: the search failed before it ended (%2).").arg(count, why);
    return tr("The search failed: %1.").arg(why);
}

void SearchController::refreshLabel() {
    mUi->presult->setText(outcomeText(mOutcome, mResult.size()));
}

void SearchController::Back() {
    mResult.clear();
    mUi->pSearchTable->setRowCount(0);
    emit backRequested();
}
