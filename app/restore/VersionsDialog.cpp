#include "VersionsDialog.h"

#include "ListingParser.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace ItemVersions {

QDateTime snapshotTime(const QString& snapshotFolder) {
    static const QRegularExpression stamp(QStringLiteral("(\\d{8}\\.\\d{4})"));
    const QRegularExpressionMatch m = stamp.match(snapshotFolder);
    return m.hasMatch() ? QDateTime::fromString(m.captured(1), QStringLiteral("yyyyMMdd.HHmm")) : QDateTime();
}

QString snapshotText(const QString& snapshotFolder) {
    if (snapshotFolder.isEmpty())
        return VersionsDialog::tr("Now (on the appliance)");
    const QDateTime at = snapshotTime(snapshotFolder);
    return at.isValid() ? at.toString(QStringLiteral("yyyy-MM-dd HH:mm")) : snapshotFolder;
}

QString besideName(const QString& name, const QString& snapshotFolder) {
    const QDateTime at = snapshotTime(snapshotFolder);
    const QString date = snapshotFolder.isEmpty() ? VersionsDialog::tr("appliance copy")
                         : at.isValid()           ? at.toString(QStringLiteral("yyyy-MM-dd HH.mm"))
                                                  : snapshotFolder;
    // The extension stays last so that the copy opens as the original does; a leading dot is no
    // extension.
    const int dot = name.lastIndexOf(u'.');
    if (dot <= 0)
        return QStringLiteral("%1 (%2)").arg(name, date);
    return QStringLiteral("%1 (%2)%3").arg(name.left(dot), date, name.mid(dot));
}

QList<ItemVersion> parse(const QByteArray& listing, const QString& user, const QString& path) {
    const QString item = user + u'/' + path;
    const QString snapshots = QStringLiteral(".zfs/snapshot/");
    QList<ItemVersion> live, found;
    ListingParser parser;
    QList<QByteArray> lines = parser.feed(listing);
    if (const std::optional<QByteArray> last = parser.finish())
        lines.append(*last);
    for (const QByteArray& line : std::as_const(lines)) {
        const std::optional<ListingParser::Entry> entry = ListingParser::parseLine(line);
        if (!entry)
            continue;
        ItemVersion v;
        v.folder = entry->directory;
        v.size = QString(entry->size).remove(u',').remove(u'.').toLongLong();
        v.modified =
            QDateTime::fromString(entry->date + u' ' + entry->time, QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        if (entry->name == item) {
            live.append(v);
            continue;
        }
        if (!entry->name.startsWith(snapshots) || !entry->name.endsWith(u'/' + item))
            continue;
        const QString folder =
            entry->name.mid(snapshots.size(), entry->name.size() - snapshots.size() - item.size() - 1);
        if (folder.isEmpty() || folder.contains(u'/'))
            continue;
        v.snapshotFolder = folder;
        found.append(v);
    }
    // Newest first: by the time in the name, else by the name. Each name is read once, not at every
    // comparison: a thousand snapshots are ten thousand comparisons.
    QList<std::pair<QDateTime, qsizetype>> order;
    order.reserve(found.size());
    for (qsizetype i = 0; i < found.size(); ++i)
        order.append({snapshotTime(found.at(i).snapshotFolder), i});
    std::stable_sort(order.begin(), order.end(), [&found](const auto& a, const auto& b) {
        if (a.first.isValid() && b.first.isValid() && a.first != b.first)
            return a.first > b.first;
        return found.at(a.second).snapshotFolder > found.at(b.second).snapshotFolder;
    });
    QList<ItemVersion> sorted;
    sorted.reserve(found.size());
    for (const auto& entry : std::as_const(order))
        sorted.append(found.at(entry.second));
    found = sorted;
    return live.mid(0, 1) + found;
}

QList<QList<ItemVersion>> group(const QList<ItemVersion>& versions) {
    QList<QList<ItemVersion>> groups;
    for (const ItemVersion& v : versions) {
        if (v.live())
            continue;
        if (!groups.isEmpty() && groups.last().last().sameContentAs(v))
            groups.last().append(v);
        else
            groups.append({v});
    }
    return groups;
}

} // namespace ItemVersions

namespace {

QString versionCount(int versions, int snapshots) {
    const QString in = snapshots == 1 ? VersionsDialog::tr("in 1 snapshot")
                                      : VersionsDialog::tr("in %1 snapshots").arg(snapshots);
    return versions == 1 ? VersionsDialog::tr("1 version %1.").arg(in)
                         : VersionsDialog::tr("%1 different versions %2.").arg(versions).arg(in);
}

} // namespace

VersionsDialog::VersionsDialog(const QString& path, bool folder, const QString& thisMachine, QWidget* parent)
    : QDialog(parent), mPath(path), mFolder(folder), mThisMachine(thisMachine) {
    setObjectName(QStringLiteral("versionsDialog"));
    const QString name = path.section(u'/', -1, -1, QString::SectionSkipEmpty);
    setWindowTitle(tr("Versions of “%1”").arg(name));
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(tr("Every copy of “%1” the appliance keeps, newest first. Copies that "
                                  "did not change between snapshots are one row.")
                                   .arg(originalPath()),
                               this);
    heading->setWordWrap(true);
    layout->addWidget(heading);
    if (!hasOriginalHere()) {
        // The same path here is another item (or none): a copy is put only where the person says.
        auto* elsewhere =
            new QLabel(tr("This is an item of the computer “%1”, not of this one: “Restore To…” asks for "
                          "the folder to restore it into.")
                           .arg(machine()),
                       this);
        elsewhere->setObjectName(QStringLiteral("versionsOtherComputer"));
        elsewhere->setWordWrap(true);
        layout->addWidget(elsewhere);
    }
    mStatus = new QLabel(tr("Looking for the versions…"), this);
    mStatus->setObjectName(QStringLiteral("versionsStatus"));
    mStatus->setWordWrap(true);
    layout->addWidget(mStatus);
    mList = new QTreeWidget(this);
    mList->setObjectName(QStringLiteral("versionsList"));
    mList->setRootIsDecorated(false);
    mList->setHeaderLabels({tr("Snapshot"), tr("Size"), tr("Modified"), tr("Kept in")});
    mList->header()->setStretchLastSection(true);
    for (int column = 0; column < 3; ++column)
        mList->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    layout->addWidget(mList, 1);
    auto* buttons = new QDialogButtonBox(this);
    mBeside = buttons->addButton(tr("Restore Beside the Original"), QDialogButtonBox::ActionRole);
    mBeside->setObjectName(QStringLiteral("restoreBeside"));
    mInto = buttons->addButton(tr("Restore To…"), QDialogButtonBox::ActionRole);
    mInto->setObjectName(QStringLiteral("restoreInto"));
    buttons->addButton(QDialogButtonBox::Close);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(mBeside, &QPushButton::clicked, this, &VersionsDialog::restoreBeside);
    connect(mInto, &QPushButton::clicked, this, &VersionsDialog::restoreInto);
    connect(mList, &QTreeWidget::currentItemChanged, this, &VersionsDialog::updateButtons);
    mBeside->setVisible(hasOriginalHere());
    resize(640, 400);
    updateButtons();
}

QString VersionsDialog::originalPath() const {
    const QString below = mPath.section(u'/', 1, -1, QString::SectionSkipEmpty);
    return below.isEmpty() ? mPath : u'/' + below;
}

QString VersionsDialog::machine() const {
    return mPath.section(u'/', 0, 0, QString::SectionSkipEmpty);
}

bool VersionsDialog::hasOriginalHere() const {
    // Another computer's item may have the same path here, but it is not the same item: a copy of it
    // put there would pass for a version of whatever this computer keeps at that path.
    return !mThisMachine.isEmpty() && machine() == mThisMachine &&
           !mPath.section(u'/', 1, -1, QString::SectionSkipEmpty).isEmpty();
}

void VersionsDialog::setListing(const QList<ItemVersion>& versions, const QString& error) {
    mListed = true;
    mGroups.clear();
    if (!versions.isEmpty() && versions.first().live())
        mGroups.append({versions.first()});
    mGroups += ItemVersions::group(versions);
    mList->clear();
    const QString name = mPath.section(u'/', -1, -1, QString::SectionSkipEmpty);
    for (const QList<ItemVersion>& g : std::as_const(mGroups)) {
        const ItemVersion& newest = g.first();
        auto* row = new QTreeWidgetItem(mList);
        row->setText(0, ItemVersions::snapshotText(newest.snapshotFolder));
        row->setText(1, newest.folder ? tr("Folder") : QLocale().formattedDataSize(newest.size));
        row->setText(2, newest.modified.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        if (newest.live())
            row->setText(3, tr("the live backup"));
        else if (g.size() == 1)
            row->setText(3, tr("1 snapshot"));
        else
            row->setText(3, tr("%1 snapshots, back to %2")
                                .arg(g.size())
                                .arg(ItemVersions::snapshotText(g.last().snapshotFolder)));
    }
    int snapshots = 0;
    for (const ItemVersion& v : versions)
        snapshots += v.live() ? 0 : 1;
    if (!error.isEmpty() && versions.isEmpty())
        mStatus->setText(tr("The versions could not be listed: %1").arg(error));
    else if (snapshots == 0)
        mStatus->setText((versions.isEmpty()
                              ? tr("“%1” is not on the appliance and not in any snapshot yet.")
                              : tr("“%1” is not in any snapshot yet; the appliance has only its "
                                   "live copy."))
                             .arg(name));
    else
        mStatus->setText(versionCount(int(mGroups.size() - (versions.first().live() ? 1 : 0)), snapshots));
    if (mList->topLevelItemCount() > 0)
        mList->setCurrentItem(mList->topLevelItem(0));
    updateButtons();
}

QString VersionsDialog::statusText() const {
    return mStatus->text();
}

void VersionsDialog::selectRow(int row) {
    if (QTreeWidgetItem* item = mList->topLevelItem(row))
        mList->setCurrentItem(item);
}

ItemVersion VersionsDialog::selectedVersion(bool* ok) const {
    const int row = mList->indexOfTopLevelItem(mList->currentItem());
    *ok = row >= 0 && row < mGroups.size();
    return *ok ? mGroups.at(row).first() : ItemVersion();
}

void VersionsDialog::updateButtons() {
    bool ok = false;
    selectedVersion(&ok);
    mBeside->setEnabled(ok && hasOriginalHere());
    mInto->setEnabled(ok);
}

void VersionsDialog::restoreBeside() {
    bool ok = false;
    const ItemVersion v = selectedVersion(&ok);
    if (!ok || !hasOriginalHere())
        return;
    const QFileInfo original(originalPath());
    emit restoreRequested(v, original.path(),
                          ItemVersions::besideName(original.fileName(), v.snapshotFolder));
}

void VersionsDialog::restoreInto() {
    bool ok = false;
    const ItemVersion v = selectedVersion(&ok);
    if (!ok)
        return;
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Restore To"), QDir::homePath());
    if (folder.isEmpty())
        return;
    const QString name = mPath.section(u'/', -1, -1, QString::SectionSkipEmpty);
    emit restoreRequested(v, folder, v.live() ? name : ItemVersions::besideName(name, v.snapshotFolder));
}
