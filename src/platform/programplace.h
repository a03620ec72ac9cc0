#pragma once

#include <QString>

/// Where the program lives: its folder (no final "/") and its executable's base name.
/// The running program uses current(); tests hand in a temporary folder.
struct ProgramPlace
{
    QString folder;
    QString name;

    static ProgramPlace current();

    /// folder + "/" + fileName
    QString file(const QString &fileName) const;
    /// The parameter file: folder + "/" + name + ".par"
    QString parameterFile() const;
};
