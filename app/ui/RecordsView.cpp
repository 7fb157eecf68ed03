#include "app/ui/RecordsView.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/AppModel.h"
#include "app/ui/AppIcons.h"
#include "app/ui/AppStyle.h"
#include "app/ui/Delegates.h"
#include "app/ui/EntryEditors.h"
#include "app/ui/ItemModels.h"

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

} // namespace

// ---- AccountsSidebar -----------------------------------------------------------------

AccountsSidebar::AccountsSidebar(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), sidebarModel_(new SidebarModel(this)), list_(new QListView(this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(list_);
    setMinimumWidth(240);

    makeInsetList(list_);
    list_->setModel(sidebarModel_);
    list_->setItemDelegate(new SidebarDelegate(list_));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setAccessibleName(QStringLiteral("Accounts"));

    sidebarModel_->setAccounts(model_.accounts());
    sidebarModel_->setConnections(model_.connections());

    connect(&model_, &AppModel::accountsChanged, this, [this] {
        sidebarModel_->setAccounts(model_.accounts());
        syncSelectionFromModel();
    });
    connect(&model_, &AppModel::connectionsChanged, this,
            [this] { sidebarModel_->setConnections(model_.connections()); });
    connect(&model_, &AppModel::selectedAccountIDChanged, this, &AccountsSidebar::syncSelectionFromModel);
    connect(sidebarModel_, &QAbstractItemModel::modelReset, this, &AccountsSidebar::syncSelectionFromModel);
    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (syncing_ || !current.isValid() ||
                    sidebarModel_->kindOf(current.row()) != SidebarModel::RowKind::account) {
                    return;
                }
                model_.setSelectedAccountID(current.data(IdRole).toString().toStdString());
            });
    syncSelectionFromModel();
}

void AccountsSidebar::syncSelectionFromModel() {
    syncing_ = true;
    const auto& selected = model_.selectedAccountID();
    int row = selected ? sidebarModel_->rowOfAccount(*selected) : -1;
    QItemSelectionModel* selection = list_->selectionModel();
    if (row < 0) {
        selection->clear();
    } else {
        QModelIndex index = sidebarModel_->index(row);
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
    : QWidget(parent), model_(model), name_(new QLabel(this)),
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
    name_->setText(QString::fromStdString(account.displayName));
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
    auto* body = new QVBoxLayout(box_);
    body->setSpacing(4);
    rows_->setSpacing(4);
    rows_->setContentsMargins(0, 0, 0, 0);
    body->addLayout(rows_);
    body->addWidget(empty_);
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
            widget->deleteLater();
        }
        delete item;
    }
    QPalette palette = this->palette();
    for (const ClientInfoField& field : fields_) {
        auto* row = new QWidget(box_);
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
    : QWidget(parent), model_(model), heading_(new QLabel(this)), list_(new QListView(this)),
      ledgerModel_(new LedgerModel(this)), delegate_(new TransactionDelegate(this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    heading_->setFont(AppStyle::sectionTitleFont());
    column->addWidget(heading_);
    column->addWidget(list_, 1);

    makeInsetList(list_);
    list_->setUniformItemSizes(true);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setModel(ledgerModel_);
    list_->setItemDelegate(delegate_);
    list_->setAccessibleName(QStringLiteral("Transactions"));

    connect(delegate_, &TransactionDelegate::deleteRequested, this, [this](const QModelIndex& index) {
        model_.deleteEntry(index.data(IdRole).toString().toStdString());
    });
    connect(delegate_, &TransactionDelegate::editRequested, this, [this](const QModelIndex& index) {
        presentEditSheet(ledgerModel_->entries()[static_cast<std::size_t>(index.row())]);
    });
    setEntries({});
}

void LedgerListView::setEntries(std::vector<LedgerEntry> entries) {
    heading_->setText(QStringLiteral("Transactions (%1)").arg(static_cast<qulonglong>(entries.size())));
    ledgerModel_->setEntries(std::move(entries));
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
}

} // namespace quorvane
