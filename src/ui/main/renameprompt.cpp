#include "ui/main/renameprompt.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

RenamePrompt::RenamePrompt(const QString &message, const QString &title, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("renamePrompt"));
    setWindowTitle(title);
    auto *page = new QVBoxLayout(this);
    lblMessage = new QLabel(message, this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    lblMessage->setWordWrap(true);
    txtName = new QLineEdit(this);
    txtName->setObjectName(QStringLiteral("txtName"));
    txtName->setAccessibleName(QStringLiteral("New name"));
    txtName->setAccessibleDescription(message);
    lblMessage->setBuddy(txtName);
    chkSkipRest = new QCheckBox(QStringLiteral("Skip every file that already exists for the rest of this run"), this);
    chkSkipRest->setObjectName(QStringLiteral("chkSkipRest"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    page->addWidget(lblMessage);
    page->addWidget(txtName);
    page->addWidget(chkSkipRest);
    page->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    txtName->setFocus();
}

QString RenamePrompt::textValue() const { return txtName->text(); }
void RenamePrompt::setTextValue(const QString &text) { txtName->setText(text); }
bool RenamePrompt::skipsTheRest() const { return chkSkipRest->isChecked(); }
void RenamePrompt::setSkipsTheRest(bool skip) { chkSkipRest->setChecked(skip); }
