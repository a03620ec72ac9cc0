#pragma once

#include <QString>

/// A list box with an edit field, as the history code sees it.
class HistoryBox
{
public:
    virtual ~HistoryBox() = default;
    virtual QString Text() const = 0;
    virtual void setText(const QString &text) = 0;
    /// Empties the list; this also empties the edit text.
    virtual void Clear() = 0;
    virtual void AddItem(const QString &item) = 0;
};
