#pragma once

#include "core/settings.h"
#include "platform/programplace.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <utility>

class QGroupBox;
class QFormLayout;
class QLineEdit;
class QPushButton;

/// What OK in a settings dialog decided, not yet applied: how each setting changes and the
/// texts the parameter file gets. Applied and stored together, or not at all.
struct SettingsChange
{
    QList<std::function<void(Settings &)>> apply;
    QList<std::pair<QString, QString>> stored;   // key, text, in the order they are written

    void add(const SettingsChange &more)
    {
        apply += more.apply;
        stored += more.stored;
    }
    void applyTo(Settings &settings) const
    {
        for (const auto &set : apply)
            set(settings);
    }
};

/// Sets `settings` from the change and stores it in one rewrite of the parameter file. A file
/// that cannot be written leaves the settings in use for this run and says so in a message box.
void storeSettings(QWidget *parent, const QString &title, Settings &settings, const ProgramPlace &place,
                   const SettingsChange &change);

/// The settings beyond the Options dialog's, in grouped sections laid out by Qt, resizable.
/// Opened from Options (its OK hands the change back to Options, which stores it with its own
/// fields) or from the menu (whoever opened it stores the change). It has no parent widget,
/// disables its opener while open, enables it again however it is closed, and deletes itself.
class frmMore : public QWidget
{
    Q_OBJECT

public:
    enum class Section { Downloads, SiteAccess, Proxy };

    /// Shows `shown`; placed over `opener`, on its screen.
    frmMore(const Settings &shown, QWidget *opener);
    ~frmMore() override;

    void cmdOKClick();
    void cmdCancelClick();

Q_SIGNALS:
    /// OK with every field accepted; the dialog closes after it.
    void accepted(const SettingsChange &change);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    /// One setting's row: how its field shows the settings, and how OK takes it (empty after a
    /// refusal, which has said why and put the focus in the field).
    using Show = std::function<void(const Settings &)>;
    using Take = std::function<std::optional<SettingsChange>()>;
    void addRow(Section section, const char *labelName, const QString &caption, QWidget *field,
                Show show, Take take, const QString &description = {});

    QLineEdit *numberRow(Section section, const char *labelName, const char *name, const QString &caption,
                         const char *key, int Settings::*member, int lowest, int highest, const QString &range);
    template <typename Choice>
    void choiceRow(Section section, const char *labelName, const char *name, const QString &caption,
                   const char *key, Choice Settings::*member, QString (*text)(Choice),
                   const QList<std::pair<QString, Choice>> &items);
    QLineEdit *fileRow(Section section, const char *labelName, const char *name, const QString &caption,
                       const char *key, QString Settings::*member, const QString &filter);
    void buildRows();
    void buildSiteRows();
    void refuse(QWidget *field, const QString &message);

    QPointer<QWidget> m_opener;
    std::array<QGroupBox *, 3> m_sections{};
    std::array<QFormLayout *, 3> m_forms{};
    QList<Show> m_show;
    QList<Take> m_take;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;
};
