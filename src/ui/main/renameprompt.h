#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;

/// The rename prompt: its message, one input line for the new name, and a check box to skip
/// every file that already exists for the rest of the run, unticked each time it opens. It is
/// not modal, so the main window's Stop can still end the run while it waits.
class RenamePrompt : public QDialog
{
    Q_OBJECT

public:
    RenamePrompt(const QString &message, const QString &title, QWidget *parent);

    QString textValue() const;
    void setTextValue(const QString &text);
    bool skipsTheRest() const;
    void setSkipsTheRest(bool skip);

private:
    QLabel *lblMessage = nullptr;
    QLineEdit *txtName = nullptr;
    QCheckBox *chkSkipRest = nullptr;
};
