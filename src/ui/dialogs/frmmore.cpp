#include "ui/dialogs/frmmore.h"

#include "core/numbers.h"
#include "core/runrules.h"
#include "storage/modpara.h"
#include "ui/dialogs/placement.h"
#include "platform/keyring.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace {

QString title() { return QStringLiteral("More Options"); }

enum RefererChoice { RefererNone, RefererFolder, RefererFixed };

// A row of a choice beside a field for a text of the user's, which takes input only while the
// choice is textItem.
struct ChoiceWithText
{
    QWidget *row;
    QComboBox *choice;
    QLineEdit *text;
};

ChoiceWithText choiceWithText(QWidget *parent, const char *choiceName, const char *textName, const QString &textCaption,
                              const QList<QPair<QString, int>> &items, int textItem)
{
    auto *row = new QWidget(parent);
    auto *line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto *choice = new QComboBox(row);
    choice->setObjectName(QLatin1String(choiceName));
    for (const auto &[caption, value] : items)
        choice->addItem(caption, value);
    auto *text = new QLineEdit(row);
    text->setObjectName(QLatin1String(textName));
    text->setAccessibleName(textCaption);
    text->setEnabled(false);
    line->addWidget(choice);
    line->addWidget(text, 1);
    row->setFocusProxy(choice);
    QObject::connect(choice, &QComboBox::currentIndexChanged, row,
                     [choice, text, textItem] { text->setEnabled(choice->currentData().toInt() == textItem); });
    return {row, choice, text};
}

SettingsChange change(std::function<void(Settings &)> apply, const char *key, const QString &text)
{
    SettingsChange c;
    c.apply.append(std::move(apply));
    c.stored.append({QLatin1String(key), text});
    return c;
}

// The password goes to the keyring alone; where none answers it stays for this session.
void keepProxyPassword(Settings &settings)
{
    QString why;
    const bool kept = settings.proxyUser.isEmpty()
        || keyring::storeProxyPassword(settings.proxyUser, settings.proxyPassword, &why);
    if (!settings.proxyUser.isEmpty())
        settings.keyring = kept ? Settings::Keyring::Answers : Settings::Keyring::None;
}

} // namespace

void storeSettings(QWidget *parent, const QString &title, Settings &settings, const ProgramPlace &place,
                   const SettingsChange &change)
{
    const QString passwordBefore = settings.proxyPassword, userBefore = settings.proxyUser;
    change.applyTo(settings);
    if (settings.proxyPassword != passwordBefore || settings.proxyUser != userBefore)
        keepProxyPassword(settings);
    try {
        modPara::writeParas(place, change.stored);
    } catch (const std::exception &e) {
        QMessageBox::warning(parent, title,
                             QStringLiteral("The settings are in use now, but they could not "
                                            "be stored for the next start:\n%1")
                                 .arg(QString::fromStdString(e.what())));
    }
}

frmMore::frmMore(const Settings &shown, QWidget *opener)
    : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                           | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_opener(opener)
{
    setObjectName(QStringLiteral("frmMore"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(title());
    if (opener)
        setWindowIcon(opener->windowIcon());

    auto *page = new QVBoxLayout(this);
    // The sections scroll, so a large font on a small screen still reaches every field and the
    // buttons stay in view.
    auto *scroller = new QScrollArea(this);
    scroller->setObjectName(QStringLiteral("sections"));
    scroller->setAccessibleName(QStringLiteral("More settings"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *body = new QWidget(scroller);
    auto *sections = new QVBoxLayout(body);
    sections->setContentsMargins(0, 0, 0, 0);
    const char *names[] = {"fraDownloads", "fraSiteAccess", "fraProxy"};
    const QString titles[] = {QStringLiteral("Downloads"), QStringLiteral("Site access"), QStringLiteral("Proxy")};
    for (int s = 0; s < 3; ++s) {
        m_sections[s] = new QGroupBox(titles[s], body);
        m_sections[s]->setObjectName(QLatin1String(names[s]));
        m_forms[s] = new QFormLayout(m_sections[s]);
        m_forms[s]->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
        sections->addWidget(m_sections[s]);
    }
    sections->addStretch(1);
    scroller->setWidget(body);
    page->addWidget(scroller, 1);
    auto *buttons = new QHBoxLayout;
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    buttons->addStretch(1);
    page->addLayout(buttons);

    buildRows();
    // One column of captions through every section, so the fields line up.
    int captions = 0;
    for (QFormLayout *form : m_forms) {
        for (int r = 0; r < form->rowCount(); ++r)
            captions = qMax(captions, form->itemAt(r, QFormLayout::LabelRole)->widget()->sizeHint().width());
    }
    for (int s = 0; s < 3; ++s) {
        m_sections[s]->setVisible(m_forms[s]->rowCount() > 0);
        for (int r = 0; r < m_forms[s]->rowCount(); ++r)
            m_forms[s]->itemAt(r, QFormLayout::LabelRole)->widget()->setMinimumWidth(captions);
    }
    for (QPushButton *b : findChildren<QPushButton *>())
        b->setAutoDefault(false);
    for (const Show &show : std::as_const(m_show))
        show(shown);

    connect(cmdOK, &QPushButton::clicked, this, &frmMore::cmdOKClick);
    connect(cmdCancel, &QPushButton::clicked, this, &frmMore::cmdCancelClick);

    // As large as the sections want, within the screen that holds the main window.
    const QScreen *scr = opener && opener->screen() ? opener->screen() : screen();
    scroller->setMinimumSize(body->sizeHint().width() + scroller->verticalScrollBar()->sizeHint().width(),
                             body->sizeHint().height());
    adjustSize();
    QSize size(qMax(width(), sizeHint().width() * 5 / 4), height());
    scroller->setMinimumSize(0, 0);
    page->activate();   // the window's least size follows the scroller's at once, not at show()
    if (scr) {
        const QSize frame = placement::outerSize(this, opener) - this->size();
        size = size.boundedTo(scr->availableGeometry().size() - frame);
    }
    resize(size);
    placement::stayWithMainWindow(this, opener);
    if (scr)
        move(placement::centredWithin(opener ? opener->frameGeometry() : scr->availableGeometry(),
                                      placement::outerSize(this, opener), scr->availableGeometry()));
    cmdOK->setFocus();
}

frmMore::~frmMore() = default;

void frmMore::addRow(Section section, const char *labelName, const QString &caption, QWidget *field,
                     Show show, Take take, const QString &description)
{
    const int s = int(section);
    auto *label = new QLabel(caption, m_sections[s]);
    label->setObjectName(QLatin1String(labelName));
    // The field's own name is what a screen reader says when the focus lands in it.
    QWidget *named = field->focusProxy() ? field->focusProxy() : field;
    label->setBuddy(named);
    named->setAccessibleName(caption);
    if (!description.isEmpty())
        named->setAccessibleDescription(description);
    m_forms[s]->addRow(label, field);
    m_show.append(std::move(show));
    m_take.append(std::move(take));
}

QLineEdit *frmMore::numberRow(Section section, const char *labelName, const char *name, const QString &caption,
                              const char *key, int Settings::*member, int lowest, int highest,
                              const QString &range)
{
    auto *field = new QLineEdit(this);
    field->setObjectName(QLatin1String(name));
    field->setMaximumWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 16);
    addRow(
        section, labelName, caption, field,
        [field, member](const Settings &s) { field->setText(numbers::decimalText(s.*member)); },
        [this, field, member, key, lowest, highest, caption, range]() -> std::optional<SettingsChange> {
            const std::optional<qint32> value = numbers::strictNumberWithin(field->text(), lowest, highest);
            if (!value) {
                refuse(field, QStringLiteral("%1: please enter a whole number from %2 to %3%4.")
                                  .arg(caption)
                                  .arg(lowest)
                                  .arg(highest)
                                  .arg(range));
                return std::nullopt;
            }
            const int v = *value;
            return change([member, v](Settings &s) { s.*member = v; }, key, field->text());
        });
    return field;
}

template <typename Choice>
void frmMore::choiceRow(Section section, const char *labelName, const char *name, const QString &caption,
                        const char *key, Choice Settings::*member, QString (*text)(Choice),
                        const QList<std::pair<QString, Choice>> &items)
{
    auto *box = new QComboBox(this);
    box->setObjectName(QLatin1String(name));
    for (const auto &[shown, value] : items)
        box->addItem(shown, int(value));
    addRow(
        section, labelName, caption, box,
        [box, member](const Settings &s) { box->setCurrentIndex(qMax(0, box->findData(int(s.*member)))); },
        [box, member, key, text]() -> std::optional<SettingsChange> {
            const auto v = Choice(box->currentData().toInt());
            return change([member, v](Settings &s) { s.*member = v; }, key, text(v));
        });
}

// A file the transfers read: chosen with Browse… or typed; OK refuses one that cannot be read
// now rather than let every Get fail on it later.
QLineEdit *frmMore::fileRow(Section section, const char *labelName, const char *name, const QString &caption,
                            const char *key, QString Settings::*member, const QString &filter)
{
    auto *row = new QWidget(this);
    auto *line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto *field = new QLineEdit(row);
    field->setObjectName(QLatin1String(name));
    auto *browse = new QPushButton(QStringLiteral("Browse…"), row);
    browse->setObjectName(QStringLiteral("cmd") + QLatin1String(name + 3));
    browse->setAccessibleName(QStringLiteral("Browse for the %1").arg(caption.toLower()));
    line->addWidget(field, 1);
    line->addWidget(browse);
    row->setFocusProxy(field);
    connect(browse, &QPushButton::clicked, this, [this, field, caption, filter] {
        const QString chosen = QFileDialog::getOpenFileName(this, caption, QFileInfo(field->text()).path(), filter);
        if (!chosen.isEmpty())
            field->setText(chosen);
    });
    addRow(
        section, labelName, caption, row, [field, member](const Settings &s) { field->setText(s.*member); },
        [this, field, member, key, caption]() -> std::optional<SettingsChange> {
            const QString path = field->text();
            if (!path.isEmpty() && !(QFileInfo(path).isFile() && QFileInfo(path).isReadable())) {
                refuse(field, QStringLiteral("%1: %2 cannot be read. Please choose a file that exists, "
                                             "or leave the field empty.")
                                  .arg(caption, path));
                return std::nullopt;
            }
            return change([member, path](Settings &s) { s.*member = path; }, key, path);
        });
    return field;
}

// The rows, section by section; each is a caption, a field, how the field shows the setting
// and how OK takes it. The stored keys follow one another in the file in this order.
void frmMore::buildRows()
{
    using S = Section;
    numberRow(S::Downloads, "Label6", "txtMaxMisses", QStringLiteral("Stop after misses in a row"), "maxMisses",
              &Settings::maxMisses, 0, Settings::highestMaxMisses, QStringLiteral(" (0: a run never stops for misses)"));
    choiceRow<Settings::IfExists>(S::Downloads, "Label7", "cmbIfExists", QStringLiteral("If the file exists"),
                                  "ifExists", &Settings::ifExists, &Settings::ifExistsText,
                                  {{QStringLiteral("Ask"), Settings::IfExists::Ask},
                                   {QStringLiteral("Skip"), Settings::IfExists::Skip},
                                   {QStringLiteral("Keep both"), Settings::IfExists::Number}});
    numberRow(S::Downloads, "Label8", "txtRetries", QStringLiteral("Retries"), "retries", &Settings::retries, 0,
              Settings::maxRetries, {});
    numberRow(S::Downloads, "Label9", "txtPause", QStringLiteral("Pause between requests (ms)"), "pause",
              &Settings::pauseMs, 0, Settings::maxPauseMs, {});
    choiceRow<Settings::Keep>(S::Downloads, "Label10", "cmbKeep", QStringLiteral("Keep pictures"), "keep",
                              &Settings::keep, &Settings::keepText,
                              {{QStringLiteral("GIF and JPEG"), Settings::Keep::GifJpeg},
                               {QStringLiteral("GIF, JPEG, PNG and WebP"), Settings::Keep::All}});
    choiceRow<Settings::Repeats>(S::Downloads, "Label14", "cmbRepeats", QStringLiteral("Pictures identical to an earlier one"),
                                 "repeats", &Settings::repeats, &Settings::repeatsText,
                                 {{QStringLiteral("Skip"), Settings::Repeats::Skip},
                                  {QStringLiteral("Save"), Settings::Repeats::Save}});

    // The Referer: a choice, and the fixed address when that is the choice.
    const ChoiceWithText referer = choiceWithText(this, "cmbReferer", "txtReferer", QStringLiteral("Fixed Referer address"),
                                                  {{QStringLiteral("None"), RefererNone},
                                                   {QStringLiteral("The address's folder"), RefererFolder},
                                                   {QStringLiteral("A fixed address"), RefererFixed}},
                                                  RefererFixed);
    QWidget *refererRow = referer.row;
    QComboBox *cmbReferer = referer.choice;
    QLineEdit *txtReferer = referer.text;
    txtReferer->setPlaceholderText(QStringLiteral("https://"));
    connect(cmbReferer, &QComboBox::activated, this, [txtReferer] {
        if (txtReferer->isEnabled())
            txtReferer->setFocus();
    });
    addRow(
        S::SiteAccess, "Label11", QStringLiteral("Send Referer"), refererRow,
        [cmbReferer, txtReferer](const Settings &s) {
            const RefererChoice choice = s.referer.isEmpty()                  ? RefererNone
                                         : s.referer == QLatin1String("*") ? RefererFolder
                                                                           : RefererFixed;
            cmbReferer->setCurrentIndex(cmbReferer->findData(choice));
            txtReferer->setText(choice == RefererFixed ? s.referer : QString());
        },
        [this, cmbReferer, txtReferer]() -> std::optional<SettingsChange> {
            QString referer;
            if (cmbReferer->currentData().toInt() == RefererFolder)
                referer = QStringLiteral("*");
            if (cmbReferer->currentData().toInt() == RefererFixed) {
                referer = txtReferer->text().trimmed();
                if (!runrules::isWebAddress(referer)) {
                    refuse(txtReferer, QStringLiteral("Send Referer: please enter an http or https address, such as "
                                                      "https://example.org/gallery/, or choose None."));
                    return std::nullopt;
                }
            }
            return change([referer](Settings &s) { s.referer = referer; }, "referer", referer);
        },
        QStringLiteral("The page address sent with each request"));
    fileRow(S::SiteAccess, "Label12", "txtCookies", QStringLiteral("Cookies file"), "cookies", &Settings::cookiesFile,
            QStringLiteral("Cookies files (*.txt);;All files (*)"));
    fileRow(S::SiteAccess, "Label13", "txtCaFile", QStringLiteral("Extra CA certificates"), "caFile", &Settings::caFile,
            QStringLiteral("PEM certificates (*.pem *.crt);;All files (*)"));
    buildSiteRows();
}

// What a site is told and how it is reached: the pictures that repeat, the name sent, the proxy.
void frmMore::buildSiteRows()
{
    using S = Section;

    enum AgentChoice { Program, Browser, Own };
    const ChoiceWithText agent = choiceWithText(this, "cmbUserAgent", "txtUserAgent", QStringLiteral("User-Agent text"),
                                                {{QStringLiteral("Seriograb"), Program},
                                                 {QStringLiteral("A current desktop browser"), Browser},
                                                 {QStringLiteral("This text"), Own}},
                                                Own);
    QWidget *agentRow = agent.row;
    QComboBox *cmbUserAgent = agent.choice;
    QLineEdit *txtUserAgent = agent.text;
    addRow(
        S::SiteAccess, "Label15", QStringLiteral("Identify as"), agentRow,
        [cmbUserAgent, txtUserAgent](const Settings &s) {
            const int choice = s.userAgent.isEmpty()                        ? Program
                             : s.userAgent == Settings::browserUserAgent() ? Browser
                                                                             : Own;
            cmbUserAgent->setCurrentIndex(cmbUserAgent->findData(choice));
            txtUserAgent->setText(choice == Own ? s.userAgent : QString());
        },
        [this, cmbUserAgent, txtUserAgent]() -> std::optional<SettingsChange> {
            const int choice = cmbUserAgent->currentData().toInt();
            const QString agent = choice == Program ? QString()
                                : choice == Browser ? Settings::browserUserAgent()
                                                    : txtUserAgent->text().trimmed();
            if (choice == Own && agent.isEmpty()) {
                refuse(txtUserAgent, QStringLiteral("Identify as: please enter the text to send, or choose Seriograb."));
                return std::nullopt;
            }
            return change([agent](Settings &s) { s.userAgent = agent; }, "userAgent", agent);
        },
        QStringLiteral("The name sent to the sites (User-Agent)"));

    choiceRow<Settings::ProxyType>(S::Proxy, "Label16", "cmbProxyType", QStringLiteral("Proxy kind"), "proxyType",
                                   &Settings::proxyType, &Settings::proxyTypeText,
                                   {{QStringLiteral("HTTP"), Settings::ProxyType::Http},
                                    {QStringLiteral("SOCKS5 (the proxy looks up host names)"), Settings::ProxyType::Socks5}});
    auto *txtProxyUser = new QLineEdit(this);
    txtProxyUser->setObjectName(QStringLiteral("txtProxyUser"));
    addRow(
        S::Proxy, "Label17", QStringLiteral("Proxy user"), txtProxyUser,
        [txtProxyUser](const Settings &s) { txtProxyUser->setText(s.proxyUser); },
        [txtProxyUser]() -> std::optional<SettingsChange> {
            const QString user = txtProxyUser->text().trimmed();
            return change([user](Settings &s) { s.proxyUser = user; }, "proxyUser", user);
        },
        QStringLiteral("Empty: the proxy asks for no user name"));

    auto *passwordRow = new QWidget(this);
    auto *column = new QVBoxLayout(passwordRow);
    column->setContentsMargins(0, 0, 0, 0);
    auto *txtProxyPassword = new QLineEdit(passwordRow);
    txtProxyPassword->setObjectName(QStringLiteral("txtProxyPassword"));
    txtProxyPassword->setEchoMode(QLineEdit::Password);
    auto *lblKeyring = new QLabel(passwordRow);
    lblKeyring->setObjectName(QStringLiteral("lblKeyring"));
    lblKeyring->setWordWrap(true);
    column->addWidget(txtProxyPassword);
    column->addWidget(lblKeyring);
    passwordRow->setFocusProxy(txtProxyPassword);
    addRow(
        S::Proxy, "Label18", QStringLiteral("Proxy password"), passwordRow,
        [txtProxyPassword, lblKeyring](const Settings &s) {
            txtProxyPassword->setText(s.proxyPassword);
            lblKeyring->setText(s.keyring == Settings::Keyring::None
                                    ? QStringLiteral("No keyring answers: the password is kept only until the program ends.")
                                : s.keyring == Settings::Keyring::Answers
                                    ? QStringLiteral("Kept in the desktop's keyring, never in a file of Seriograb's.")
                                    : QStringLiteral("Kept in the desktop's keyring, never in a file of Seriograb's; "
                                                     "where no keyring answers, only until the program ends."));
            txtProxyPassword->setAccessibleDescription(lblKeyring->text());
        },
        [txtProxyPassword]() -> std::optional<SettingsChange> {
            const QString password = txtProxyPassword->text();
            SettingsChange c;
            c.apply.append([password](Settings &s) { s.proxyPassword = password; });
            return c;
        });
}

void frmMore::refuse(QWidget *field, const QString &message)
{
    QMessageBox::warning(this, title(), message);
    field->setFocus();
    if (auto *edit = qobject_cast<QLineEdit *>(field))
        edit->selectAll();
}

// Every row is taken before anything is handed on, so a refused row leaves nothing half-done.
void frmMore::cmdOKClick()
{
    SettingsChange all;
    for (const Take &take : std::as_const(m_take)) {
        const std::optional<SettingsChange> one = take();
        if (!one)
            return;
        all.add(*one);
    }
    Q_EMIT accepted(all);
    close();
}

void frmMore::cmdCancelClick()
{
    close();
}

void frmMore::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdCancel->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void frmMore::closeEvent(QCloseEvent *event)
{
    event->accept();
    hide();
    if (m_opener && !m_opener->isEnabled()) {
        m_opener->setEnabled(true);
        if (m_opener->isVisible())
            m_opener->activateWindow();
    }
}
