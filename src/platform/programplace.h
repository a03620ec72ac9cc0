#pragma once

#include <QString>

/// Where the program lives: its folder (no final "/") and its executable's base name, and where
/// it keeps its settings and address history.
/// The running program uses current(); tests hand in temporary folders.
struct ProgramPlace
{
    QString folder;
    QString name;
    /// Where the settings go when the program folder cannot be written (a system-wide install);
    /// empty: nowhere else, they stay in the program folder.
    QString userFolder;
    /// Where an install keeps the read-only files the program brings (PREFIX/share/seriograb
    /// beside PREFIX/bin), looked in after the program folder; empty: the program folder alone.
    QString dataFolder;

    static ProgramPlace current();
    /// $XDG_CONFIG_HOME/seriograb, or ~/.config/seriograb when XDG_CONFIG_HOME is not set.
    static QString userSettingsFolder();

    /// folder + "/" + fileName
    QString file(const QString &fileName) const;
    /// A read-only file the program brings, such as default.gif: the program folder's when it is
    /// there, else the data folder's; when neither exists, the program folder's name for it.
    QString dataFile(const QString &fileName) const;

    /// name + ".par"
    QString parameterFileName() const;
    /// "history.par"; for an executable named "history", whose parameter file has that name,
    /// "urlhistory.par", so settings and history never share one file.
    QString historyFileName() const;

    /// True for a program run from an install: its read-only files are in the data folder and
    /// not beside it. Its folder is then a folder of programs (PREFIX/bin), no place for settings.
    bool isInstalled() const;
    /// The folder settings and history are kept in: the program folder when it can be written
    /// and is no install's (or when there is no user folder), otherwise the user folder.
    QString settingsFolder() const;
    /// False when settings cannot be kept at all: the settings folder can be neither written
    /// nor created.
    bool canKeepSettings() const;
    /// The settings file of that name where it is kept, and so written.
    QString settingsFile(const QString &fileName) const;
    /// The file that holds the settings file's present content: settingsFile(), or, until that
    /// exists, dataFile() of that name (starting values given with an install).
    QString currentSettingsFile(const QString &fileName) const;
    /// settingsFile(), made ready to be written: its folder created, and, when it does not
    /// exist yet, the content of currentSettingsFile() copied into it. Throws FileError.
    QString prepareSettingsFile(const QString &fileName) const;

    /// The parameter file as it reads now: currentSettingsFile(parameterFileName()).
    QString parameterFile() const;
};
