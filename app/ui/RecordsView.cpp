#include "app/ui/RecordsView.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/AppModel.h"
#include "app/ui/AppIcons.h"
#include "app/ui/AppStyle.h"
#include "app/ui/Delegates.h"
#include "app/ui/EntryEditors.h"
#include "app/ui/ItemModels.h"
#include "app/ui/ListHelpers.h"

namespace quorvane {

namespace {

QLabel* styledLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

// A list drawn as an inset list: no frame, the window's background, rows that
// keep their place across refreshes.
void makeInsetList(QListView* list) {
    list->setFrameShape(QFrame::NoFrame);
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setResizeMode(QListView::Adjust);
    list->setMouseTracking(true);
    list->setAttribute(Qt::WA_Hover);
    list->viewport()->setAutoFillBackground(false);
    list->setAutoFillBackground(false);
}

// A search field in the app's style: a clear button, no frame of its own
// beyond the platform's.
QLineEdit* filterLineEdit(const QString& placeholder, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(placeholder);
    field->setClearButtonEnabled(true);
    return field;
}

// Under the current row: where the menu key opens a list's context menu.
QPoint menuPositionFor(QListView* list) {
    QModelIndex row = list->currentIndex();
    QRect rect = row.isValid() ? list->visualRect(row) : QRect();
    return list->viewport()->mapToGlobal(rect.isValid() ? rect.bottomLeft() + QPoint(24, 0) : QPoint(8, 8));
}

// The menu key as a key press (platforms that send no context menu event of
// their own for it; where they do, the menu it opened takes the key).
bool isMenuKey(const QKeyEvent* key) {
    return key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
}

// Where a context menu for a list opens: at the pointer for a click, under
// the current row for the menu key. Answers the row it is about.
QModelIndex contextMenuRow(QListView* list, QObject* watched, QContextMenuEvent* event, QPoint& globalPos) {
    if (event->reason() == QContextMenuEvent::Mouse) {
        QPoint inViewport =
            watched == list->viewport() ? event->pos() : list->viewport()->mapFrom(list, event->pos());
        QModelIndex row = list->indexAt(inViewport);
        if (row.isValid()) {
            list->setCurrentIndex(row);
        }
        globalPos = event->globalPos();
        return row;
    }
    globalPos = menuPositionFor(list);
    return list->currentIndex();
}

// The keyboard's "activate" keys on a list row.
bool isActivateKey(const QKeyEvent* key) {
    if (key->modifiers() & ~(Qt::KeypadModifier)) {
        return false;
    }
    return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_F2 ||
           key->key() == Qt::Key_Space;
}

bool isPlainKey(const QKeyEvent* key, Qt::Key which) {
    return key->key() == which && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

} // namespace

// ---- AccountsSidebar -----------------------------------------------------------------

AccountsSidebar::AccountsSidebar(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), sidebarModel_(new SidebarModel(this)),
      filterModel_(new SidebarFilterModel(this)),
      filter_(filterLineEdit(QStringLiteral("Filter accounts"), this)), orderPicker_(new QComboBox(this)),
      list_(new QListView(this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* findRow = new QHBoxLayout;
    findRow->setContentsMargins(10, 8, 10, 0);
    findRow->setSpacing(6);
    filter_->setToolTip(QStringLiteral("Show only accounts whose name or id contains this text"));
    findRow->addWidget(filter_, 1);
    for (auto [text, order] : {std::pair{"Created", SidebarFilterModel::Order::created},
                               std::pair{"Name", SidebarFilterModel::Order::name},
                               std::pair{"Balance", SidebarFilterModel::Order::balance},
                               std::pair{"Last activity", SidebarFilterModel::Order::lastActivity}}) {
        orderPicker_->addItem(QString::fromUtf8(text), static_cast<int>(order));
    }
    orderPicker_->setAccessibleName(QStringLiteral("Order accounts by"));
    orderPicker_->setToolTip(QStringLiteral("Order accounts by"));
    findRow->addWidget(orderPicker_);
    column->addLayout(findRow);
    column->addWidget(list_);
    setMinimumWidth(240);

    makeInsetList(list_);
    filterModel_->setSourceModel(sidebarModel_);
    list_->setModel(filterModel_);
    list_->setItemDelegate(new SidebarDelegate(list_));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setAccessibleName(QStringLiteral("Accounts"));

    sidebarModel_->setAccounts(model_.accounts());
    sidebarModel_->setConnections(model_.connections());

    updateLastActivity();
    new ScrollAnchor(list_);

    connect(&model_, &AppModel::accountsChanged, this, [this] {
        sidebarModel_->setAccounts(model_.accounts());
        updateLastActivity();
        syncSelectionFromModel();
    });
    connect(&model_, &AppModel::entriesChanged, this, &AccountsSidebar::updateLastActivity);
    connect(&model_, &AppModel::apiLogChanged, this, &AccountsSidebar::updateLastActivity);
    connect(&model_, &AppModel::connectionsChanged, this,
            [this] { sidebarModel_->setConnections(model_.connections()); });
    connect(&model_, &AppModel::selectedAccountIDChanged, this, &AccountsSidebar::syncSelectionFromModel);
    connect(filterModel_, &QAbstractItemModel::modelReset, this, &AccountsSidebar::syncSelectionFromModel);
    connect(filterModel_, &QAbstractItemModel::layoutChanged, this, &AccountsSidebar::syncSelectionFromModel);
    connect(filterModel_, &QAbstractItemModel::rowsInserted, this, &AccountsSidebar::syncSelectionFromModel);
    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (syncing_ || !current.isValid() ||
                    current.data(RowKindRole).toInt() != static_cast<int>(SidebarModel::RowKind::account)) {
                    return;
                }
                model_.setSelectedAccountID(current.data(IdRole).toString().toStdString());
            });
    // Rows hidden or moved here would move the view's current row, which is
    // not the operator choosing another account.
    connect(filter_, &QLineEdit::textChanged, this, [this](const QString& text) {
        syncing_ = true;
        filterModel_->setFilterText(text);
        syncing_ = false;
        syncSelectionFromModel();
    });
    connect(orderPicker_, &QComboBox::currentIndexChanged, this, [this](int index) {
        syncing_ = true;
        filterModel_->setOrder(static_cast<SidebarFilterModel::Order>(orderPicker_->itemData(index).toInt()));
        syncing_ = false;
        syncSelectionFromModel();
    });
    list_->installEventFilter(this);
    list_->viewport()->installEventFilter(this);
    syncSelectionFromModel();
}

SidebarFilterModel::Order AccountsSidebar::order() const {
    return filterModel_->order();
}

void AccountsSidebar::setOrder(SidebarFilterModel::Order order) {
    int index = orderPicker_->findData(static_cast<int>(order));
    if (index >= 0) {
        orderPicker_->setCurrentIndex(index);
    }
}

void AccountsSidebar::updateLastActivity() {
    // The newest of: the account's creation, its entries, and its agents'
    // calls in the API log.
    QHash<QString, qint64> latest;
    auto note = [&latest](const std::string& id, Date date) {
        qint64 seconds = std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count();
        QString key = QString::fromStdString(id);
        auto found = latest.find(key);
        if (found == latest.end()) {
            latest.insert(key, seconds);
        } else {
            *found = std::max(*found, seconds);
        }
    };
    for (const Account& account : model_.accounts()) {
        note(account.id, account.createdAt);
    }
    for (const LedgerEntry& entry : model_.entries()) {
        note(entry.accountId, std::max(entry.createdAt, entry.updatedAt));
    }
    for (const ApiLogEntry& line : model_.apiLog()) {
        if (line.accountId) {
            note(*line.accountId, line.timestamp);
        }
    }
    syncing_ = true; // a new order is no choice of the operator's
    filterModel_->setLastActivity(std::move(latest));
    syncing_ = false;
}

void AccountsSidebar::copyCurrent() {
    QModelIndex current = list_->currentIndex();
    if (!current.isValid() ||
        current.data(RowKindRole).toInt() != static_cast<int>(SidebarModel::RowKind::account)) {
        return;
    }
    QApplication::clipboard()->setText(
        QStringList{current.data(Qt::DisplayRole).toString(), current.data(SubtitleRole).toString(),
                    AppStyle::plainInteger(current.data(AmountRole).toLongLong())}
            .join(QLatin1Char('\t')));
}

void AccountsSidebar::showContextMenu(QPoint globalPos) {
    QModelIndex current = list_->currentIndex();
    if (!current.isValid() ||
        current.data(RowKindRole).toInt() != static_cast<int>(SidebarModel::RowKind::account)) {
        return;
    }
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("accountContextMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("&Rename\u2026"), this, &AccountsSidebar::renameRequested);
    menu->addAction(QStringLiteral("&Copy"), this, &AccountsSidebar::copyCurrent);
    menu->addSeparator();
    menu->addAction(QStringLiteral("&Delete Account\u2026"), this, &AccountsSidebar::deleteRequested);
    menu->popup(globalPos);
}

bool AccountsSidebar::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ContextMenu) {
        QPoint at;
        if (contextMenuRow(list_, watched, static_cast<QContextMenuEvent*>(event), at).isValid()) {
            showContextMenu(at);
        }
        return true;
    }
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (isMenuKey(key)) {
            showContextMenu(menuPositionFor(list_));
            return true;
        }
        if (isPlainKey(key, Qt::Key_Delete)) {
            emit deleteRequested();
            return true;
        }
        if (isPlainKey(key, Qt::Key_F2)) {
            emit renameRequested();
            return true;
        }
        if (key->matches(QKeySequence::Copy)) {
            copyCurrent();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void AccountsSidebar::syncSelectionFromModel() {
    syncing_ = true;
    const auto& selected = model_.selectedAccountID();
    int row = selected ? filterModel_->rowOfAccount(*selected) : -1;
    QItemSelectionModel* selection = list_->selectionModel();
    if (row < 0) {
        selection->clear();
    } else {
        QModelIndex index = filterModel_->index(row, 0);
        if (selection->currentIndex() != index || !selection->isSelected(index)) {
            selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        }
    }
    syncing_ = false;
}

// ---- NoSelectionView -------------------------------------------------------------------

NoSelectionView::NoSelectionView(QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setSpacing(8);
    column->addStretch(1);
    auto* icon = new QLabel(this);
    icon->setPixmap(AppIcons::pixmap(AppIcon::noSelection, AppStyle::tertiaryText(palette()), QSize(40, 40),
                                     devicePixelRatioF()));
    icon->setAlignment(Qt::AlignCenter);
    column->addWidget(icon);
    title_ = styledLabel(QString(), AppStyle::title3(), AppStyle::secondaryText(palette()), this);
    title_->setAlignment(Qt::AlignCenter);
    column->addWidget(title_);
    hint_ = styledLabel(QString(), AppStyle::callout(), AppStyle::tertiaryText(palette()), this);
    hint_->setAlignment(Qt::AlignCenter);
    hint_->setWordWrap(true);
    column->addWidget(hint_);
    column->addStretch(1);
    setSituation(Situation::noAccounts);
}

void NoSelectionView::setSituation(Situation situation) {
    switch (situation) {
    case Situation::noAccounts:
        title_->setText(QStringLiteral("No accounts yet"));
        hint_->setText(QStringLiteral("Agents appear here as they connect."));
        break;
    case Situation::nothingSelected:
        title_->setText(QStringLiteral("Select an account"));
        hint_->setText(QStringLiteral("Choose one in the list to see its entries."));
        break;
    case Situation::hostOffline:
        title_->setText(QStringLiteral("Host offline"));
        hint_->setText(QStringLiteral("Accounts appear once the Quorvane host answers."));
        break;
    }
}

// ---- AccountBalanceView ----------------------------------------------------------------

AccountBalanceView::AccountBalanceView(QWidget* parent)
    : QWidget(parent), balance_(new QLabel(this)),
      points_(styledLabel(QStringLiteral("points"), AppStyle::callout(), AppStyle::secondaryText(palette()),
                          this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 4, 0, 0);
    row->setSpacing(6);
    balance_->setFont(AppStyle::balanceFont());
    balance_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Both texts sit on one baseline: lift "points" by the difference of the
    // two fonts' descents.
    int lift = QFontMetrics(balance_->font()).descent() - QFontMetrics(points_->font()).descent();
    points_->setContentsMargins(0, 0, 0, std::max(0, lift));
    row->addWidget(balance_, 0, Qt::AlignBottom);
    row->addWidget(points_, 0, Qt::AlignBottom);
    row->addStretch(1);
}

void AccountBalanceView::setBalance(std::int64_t balance) {
    balance_->setText(AppStyle::plainInteger(balance));
    setTextColor(balance_, AppStyle::amountColor(balance, palette()));
}

// ---- AccountHeaderView -----------------------------------------------------------------

AccountHeaderView::AccountHeaderView(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), name_(new ElidedLabel(this)),
      id_(styledLabel(QString(), AppStyle::monospacedSmall(), AppStyle::tertiaryText(palette()), this)),
      balance_(new AccountBalanceView(this)), rename_(new QToolButton(this)), delete_(new QToolButton(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    QFont nameFont = AppStyle::title2();
    nameFont.setWeight(QFont::Bold);
    name_->setFont(nameFont);
    name_->setTextFormat(Qt::PlainText);
    id_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(name_);
    column->addWidget(id_);
    column->addWidget(balance_);
    row->addLayout(column, 1);

    auto* actions = new QHBoxLayout;
    actions->setSpacing(6);
    rename_->setText(QStringLiteral("Rename"));
    rename_->setToolTip(QStringLiteral("Rename"));
    rename_->setIcon(AppIcons::icon(AppIcon::pencil));
    delete_->setText(QStringLiteral("Delete"));
    delete_->setToolTip(QStringLiteral("Delete"));
    delete_->setIcon(AppIcons::tinted(AppIcon::trash, AppStyle::debitColor()));
    for (QToolButton* button : {rename_, delete_}) {
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
        button->setAccessibleName(button->text());
        button->setIconSize(QSize(16, 16));
        button->setMinimumSize(30, 26);
        actions->addWidget(button);
    }
    row->addLayout(actions);
    row->setAlignment(actions, Qt::AlignTop);

    connect(rename_, &QToolButton::clicked, this, &AccountHeaderView::presentRenameSheet);
    connect(delete_, &QToolButton::clicked, this, &AccountHeaderView::presentDeleteConfirmation);
}

void AccountHeaderView::setAccount(const Account& account) {
    account_ = account;
    static_cast<ElidedLabel*>(name_)->setFullText(QString::fromStdString(account.displayName));
    name_->setAccessibleName(QString::fromStdString(account.displayName));
    id_->setText(QString::fromStdString(account.id));
    balance_->setBalance(account.balance);
}

void AccountHeaderView::presentRenameSheet() {
    auto* sheet = new RenameSheet(model_, account_, window());
    sheet->setObjectName(QStringLiteral("renameSheet"));
    sheet->open();
}

void AccountHeaderView::presentDeleteConfirmation() {
    auto* dialog = new QMessageBox(window());
    dialog->setObjectName(QStringLiteral("deleteAccountConfirmation"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setIcon(QMessageBox::Warning);
    dialog->setWindowTitle(QStringLiteral("Delete this account and all its entries?"));
    dialog->setText(QStringLiteral("Delete this account and all its entries?"));
    // Name what goes, as the operator sees it in the list.
    dialog->setInformativeText(
        QStringLiteral("\u201C%1\u201D (%2) and its %3 points balance will be gone for good.")
            .arg(QString::fromStdString(account_.displayName), QString::fromStdString(account_.id),
                 AppStyle::localeInteger(account_.balance)));
    QPushButton* confirm = dialog->addButton(QStringLiteral("Delete Account"), QMessageBox::DestructiveRole);
    QPushButton* cancel = dialog->addButton(QMessageBox::Cancel);
    dialog->setDefaultButton(cancel);
    dialog->setEscapeButton(cancel);
    std::string id = account_.id;
    connect(confirm, &QPushButton::clicked, this, [this, id] { model_.deleteAccount(id); });
    dialog->open();
}

// ---- ClientInfoView --------------------------------------------------------------------

ClientInfoView::ClientInfoView(QWidget* parent)
    : QWidget(parent), box_(new QGroupBox(QStringLiteral("Client Info"), this)), rows_(new QVBoxLayout),
      empty_(styledLabel(QStringLiteral("Not provided by this client."), AppStyle::caption(),
                         AppStyle::tertiaryText(palette()), this)) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(box_);
    // The rows scroll inside a body of one height: room for visibleRows rows.
    auto* boxLayout = new QVBoxLayout(box_);
    auto* scroll = new QScrollArea(box_);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    body_ = new QWidget(scroll);
    body_->setAutoFillBackground(false);
    auto* body = new QVBoxLayout(body_);
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(4);
    rows_->setSpacing(4);
    rows_->setContentsMargins(0, 0, 0, 0);
    body->addLayout(rows_);
    body->addWidget(empty_);
    body->addStretch(1);
    scroll->setWidget(body_);
    int rowHeight = std::max(QFontMetrics(AppStyle::caption()).height(),
                             QFontMetrics(AppStyle::monospacedSmall()).height());
    scroll->setFixedHeight(visibleRows * (rowHeight + body->spacing()));
    boxLayout->addWidget(scroll);
    setFields(std::nullopt);
}

void ClientInfoView::setFields(const std::optional<std::vector<ClientInfoField>>& fields) {
    std::vector<ClientInfoField> next = fields.value_or(std::vector<ClientInfoField>{});
    if (shown_ && next == fields_) {
        return;
    }
    shown_ = true;
    fields_ = std::move(next);
    while (QLayoutItem* item = rows_->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide(); // gone at once, even before the event loop deletes it
            widget->deleteLater();
        }
        delete item;
    }
    QPalette palette = this->palette();
    for (const ClientInfoField& field : fields_) {
        auto* row = new QWidget(body_);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(8);
        auto* key = styledLabel(QString::fromStdString(field.key), AppStyle::monospacedSmall(),
                                AppStyle::secondaryText(palette), row);
        key->setFixedWidth(96);
        key->setTextFormat(Qt::PlainText);
        key->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        auto* value = new QLabel(QString::fromStdString(field.value), row);
        value->setFont(AppStyle::caption());
        value->setTextFormat(Qt::PlainText);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        value->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        line->addWidget(key, 0, Qt::AlignTop);
        line->addWidget(value, 1, Qt::AlignTop);
        rows_->addWidget(row);
    }
    empty_->setVisible(fields_.empty());
}

// ---- LedgerListView --------------------------------------------------------------------

LedgerListView::LedgerListView(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), heading_(new QLabel(this)),
      filter_(filterLineEdit(QStringLiteral("Filter entries"), this)), list_(new QListView(this)),
      ledgerModel_(new LedgerModel(this)), filterModel_(new LedgerFilterModel(this)),
      delegate_(new TransactionDelegate(this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    heading_->setFont(AppStyle::sectionTitleFont());
    auto* headingRow = new QHBoxLayout;
    headingRow->addWidget(heading_, 1);
    filter_->setToolTip(QStringLiteral("Show only entries whose memo or type contains this text"));
    filter_->setMaximumWidth(240);
    headingRow->addWidget(filter_);
    column->addLayout(headingRow);
    column->addWidget(list_, 1);

    makeInsetList(list_);
    list_->setUniformItemSizes(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    filterModel_->setSourceModel(ledgerModel_);
    list_->setModel(filterModel_);
    list_->setItemDelegate(delegate_);
    list_->setAccessibleName(QStringLiteral("Transactions"));
    list_->setAccessibleDescription(
        QStringLiteral("Return or F2 edits the entry, Delete deletes it, the menu key shows more"));
    new ScrollAnchor(list_);

    connect(delegate_, &TransactionDelegate::deleteRequested, this, [this](const QModelIndex& index) {
        model_.deleteEntry(index.data(IdRole).toString().toStdString());
    });
    connect(delegate_, &TransactionDelegate::editRequested, this, [this](const QModelIndex& index) {
        if (auto entry = entryAt(index)) {
            presentEditSheet(*entry);
        }
    });
    connect(list_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (auto entry = entryAt(index)) {
            presentEditSheet(*entry);
        }
    });
    connect(filter_, &QLineEdit::textChanged, this, [this](const QString& text) {
        filterModel_->setFilterText(text);
        updateHeading();
    });
    // Entries older than the snapshot's come a page at a time as the list
    // reaches its end, and are read again when the ledger changes.
    ledgerModel_->setPageFetcher(
        [this](const std::string& accountId, std::optional<std::int64_t> before, LedgerModel::PageDone done) {
            model_.fetchHistory(accountId, before, std::move(done));
        });
    connect(&model_, &AppModel::ledgerChanged, ledgerModel_, &LedgerModel::reloadOlder);
    connect(ledgerModel_, &QAbstractItemModel::rowsInserted, this, &LedgerListView::updateHeading);
    connect(ledgerModel_, &QAbstractItemModel::rowsRemoved, this, &LedgerListView::updateHeading);
    list_->installEventFilter(this);
    list_->viewport()->installEventFilter(this);
    setEntries({});
}

void LedgerListView::setEntries(std::vector<LedgerEntry> entries) {
    ledgerModel_->setEntries(std::move(entries));
    updateHeading();
}

void LedgerListView::updateHeading() {
    int all = ledgerModel_->rowCount();
    if (filterModel_->filterText().isEmpty()) {
        heading_->setText(QStringLiteral("Transactions (%1)").arg(all));
    } else {
        heading_->setText(QStringLiteral("Transactions (%1 of %2)").arg(filterModel_->rowCount()).arg(all));
    }
}

std::optional<LedgerEntry> LedgerListView::entryAt(const QModelIndex& index) const {
    QModelIndex source = index.model() == filterModel_ ? filterModel_->mapToSource(index) : index;
    if (!source.isValid() || source.model() != ledgerModel_) {
        return std::nullopt;
    }
    const auto& entries = ledgerModel_->entries();
    auto row = static_cast<std::size_t>(source.row());
    return row < entries.size() ? std::optional(entries[row]) : std::nullopt;
}

std::optional<LedgerEntry> LedgerListView::currentEntry() const {
    return entryAt(list_->currentIndex());
}

void LedgerListView::editCurrent() {
    if (auto entry = currentEntry()) {
        presentEditSheet(*entry);
    }
}

void LedgerListView::deleteCurrent() {
    if (auto entry = currentEntry()) {
        model_.deleteEntry(entry->id);
    }
}

QString LedgerListView::rowText(const QModelIndex& index) {
    std::string_view type = label(static_cast<EntryType>(index.data(EntryTypeRole).toInt()));
    return QStringList{QString::fromUtf8(type.data(), static_cast<qsizetype>(type.size())),
                       index.data(Qt::DisplayRole).toString(), index.data(DateTextRole).toString(),
                       AppStyle::signedAmountText(index.data(AmountRole).toLongLong())}
        .join(QLatin1Char('\t'));
}

void LedgerListView::copyCurrent() {
    QModelIndex current = list_->currentIndex();
    if (current.isValid()) {
        QApplication::clipboard()->setText(rowText(current));
    }
}

void LedgerListView::showContextMenu(QPoint globalPos) {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("ledgerContextMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("&Edit\u2026"), this, &LedgerListView::editCurrent);
    menu->addAction(QStringLiteral("&Copy"), this, &LedgerListView::copyCurrent);
    menu->addSeparator();
    menu->addAction(QStringLiteral("&Delete"), this, &LedgerListView::deleteCurrent);
    menu->popup(globalPos);
}

bool LedgerListView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ContextMenu) {
        QPoint at;
        if (contextMenuRow(list_, watched, static_cast<QContextMenuEvent*>(event), at).isValid()) {
            showContextMenu(at);
        }
        return true;
    }
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (isMenuKey(key)) {
            if (list_->currentIndex().isValid()) {
                showContextMenu(menuPositionFor(list_));
            }
            return true;
        }
        if (isActivateKey(key)) {
            editCurrent();
            return true;
        }
        if (isPlainKey(key, Qt::Key_Delete)) {
            deleteCurrent();
            return true;
        }
        if (key->matches(QKeySequence::Copy)) {
            copyCurrent();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void LedgerListView::presentEditSheet(const LedgerEntry& entry) {
    auto* sheet = new EditEntrySheet(model_, entry, window());
    sheet->setObjectName(QStringLiteral("editEntrySheet"));
    sheet->open();
}

// ---- LoadedAccountView -----------------------------------------------------------------

LoadedAccountView::LoadedAccountView(AppModel& model, QWidget* parent)
    : QWidget(parent), header_(new AccountHeaderView(model, this)), clientInfo_(new ClientInfoView(this)),
      addEntry_(new AddEntryView(model, this)), ledger_(new LedgerListView(model, this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    column->addWidget(header_);
    column->addWidget(clientInfo_);
    column->addWidget(addEntry_);
    column->addWidget(ledger_, 1);
}

void LoadedAccountView::setContent(const Account& account, std::vector<LedgerEntry> entries) {
    header_->setAccount(account);
    clientInfo_->setFields(account.clientInfoFields);
    addEntry_->setAccountID(account.id);
    ledger_->ledgerModel()->setAccount(account.id);
    ledger_->setEntries(std::move(entries));
}

// ---- DetailContainerView ---------------------------------------------------------------

DetailContainerView::DetailContainerView(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), stack_(new QStackedWidget(this)),
      noSelection_(new NoSelectionView(stack_)), loaded_(new LoadedAccountView(model, stack_)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(stack_);
    stack_->addWidget(noSelection_);
    stack_->addWidget(loaded_);
    setMinimumWidth(420);

    connect(&model_, &AppModel::accountsChanged, this, &DetailContainerView::update);
    connect(&model_, &AppModel::entriesChanged, this, &DetailContainerView::update);
    connect(&model_, &AppModel::selectedAccountIDChanged, this, &DetailContainerView::update);
    connect(&model_, &AppModel::isOfflineChanged, this, &DetailContainerView::update);
    update();
}

bool DetailContainerView::showsAccount() const {
    return stack_->currentWidget() == loaded_;
}

void DetailContainerView::update() {
    std::optional<Account> account = model_.selectedAccount();
    if (!account) {
        using Situation = NoSelectionView::Situation;
        noSelection_->setSituation(!model_.accounts().empty() ? Situation::nothingSelected
                                   : model_.isOffline()       ? Situation::hostOffline
                                                              : Situation::noAccounts);
        stack_->setCurrentWidget(noSelection_);
        loaded_->setContent(Account{}, {});
        return;
    }
    loaded_->setContent(*account, model_.entriesFor(account->id));
    stack_->setCurrentWidget(loaded_);
}

// ---- RecordsView -----------------------------------------------------------------------

RecordsView::RecordsView(AppModel& model, QWidget* parent)
    : QWidget(parent), split_(new QSplitter(Qt::Horizontal, this)),
      sidebar_(new AccountsSidebar(model, split_)), detail_(new DetailContainerView(model, split_)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(split_);
    split_->addWidget(sidebar_);
    split_->addWidget(detail_);
    split_->setChildrenCollapsible(false);
    split_->setStretchFactor(0, 0);
    split_->setStretchFactor(1, 1);
    split_->setSizes({280, 870});

    // Keys and menus on the sidebar act on the account the header shows.
    AccountHeaderView* header = detail_->loaded()->header();
    connect(sidebar_, &AccountsSidebar::renameRequested, this, [this, header] {
        if (detail_->showsAccount()) {
            header->presentRenameSheet();
        }
    });
    connect(sidebar_, &AccountsSidebar::deleteRequested, this, [this, header] {
        if (detail_->showsAccount()) {
            header->presentDeleteConfirmation();
        }
    });
}

namespace {

const QString splitterKey = QStringLiteral("records/splitter");
const QString orderKey = QStringLiteral("records/order");

} // namespace

void RecordsView::saveLayout(QSettings& settings) const {
    settings.setValue(splitterKey, split_->saveState());
    settings.setValue(orderKey, SidebarFilterModel::orderName(sidebar_->order()));
}

void RecordsView::restoreLayout(const QSettings& settings) {
    if (QByteArray state = settings.value(splitterKey).toByteArray(); !state.isEmpty()) {
        QByteArray before = split_->saveState();
        if (!split_->restoreState(state)) {
            split_->restoreState(before);
        }
    }
    if (auto order = SidebarFilterModel::orderNamed(settings.value(orderKey).toString())) {
        sidebar_->setOrder(*order);
    }
}

} // namespace quorvane
