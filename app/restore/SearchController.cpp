#include "SearchController.h"

#include "IndexSearch.h"
#include "ui_SearchController.h"

#include <QHeaderView>

SearchController::SearchController(QWidget* parent) : QWidget(parent), mUi(new Ui::SearchController) {
    mUi->setupUi(this);
    mUi->pSearchTable->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    mUi->pSearchTable->setColumnWidth(0, 28);
    connect(mUi->pSearchTable, &QTableWidget::itemChanged, this, &SearchController::stateEdited);
    connect(mUi->backButton, &QPushButton::clicked, this, &SearchController::Back);
}

SearchController::~SearchController() {
    delete mUi;
}

std::optional<QList<QVariantMap>> SearchController::searchIndex(const QString& accountFolder,
                                                                const QString& account, const QString& text) {
    // The index matches the text as written ("%", "_" and "'" included), a page at a time; a master
    // that cannot be opened or stays locked by a merge gives no hits.
    QList<QVariantMap> hits;
    QString after;
    for (;;) {
        const IndexSearch::Page page = IndexSearch::search(IndexSearch::masterPath(accountFolder, account),
                                                           text, IndexSearch::DefaultLimit, after);
        if (page.status != IndexSearch::Status::Ok)
            return hits.isEmpty() ? std::nullopt : std::optional(hits);
        for (const IndexSearch::Hit& hit : page.hits)
            hits.append({{QStringLiteral("name"), hit.name},
                         {QStringLiteral("size"), hit.size},
                         {QStringLiteral("lmd"), hit.lmd}});
        if (!page.more || page.hits.isEmpty() || hits.size() >= MaxHits)
            return hits;
        after = page.hits.last().name;
    }
}

void SearchController::setSearchResult(const QList<QVariantMap>& hits) {
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

void SearchController::refreshLabel() {
    mUi->presult->setText(mResult.isEmpty() ? QStringLiteral("No items found")
                                            : QStringLiteral("%1 items found").arg(mResult.size()));
}

void SearchController::Back() {
    mResult.clear();
    mUi->pSearchTable->setRowCount(0);
    emit backRequested();
}
