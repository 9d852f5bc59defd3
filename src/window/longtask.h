#pragma once

#include "store/fileio.h"

#include <QElapsedTimer>
#include <QString>

#include <memory>

class QProgressDialog;
class QWidget;

// A read or copy that may take long: once it has run for a while, Qt's modal progress
// dialog shows how far it is and lets the user stop it. Being modal, the dialog keeps
// the user's input to itself; the window starts no other action meanwhile anyway. Until
// the dialog shows, the window still paints and answers, the user's input held back.
// Work that ends sooner never creates the dialog. `abandoned` stops it as the cancel button
// would (the window was closed meanwhile). Past the size it was told, or with none, the
// bar only shows that the work goes on, and the label how much has come.
class LongTask
{
public:
    // Until the dialog shows, the window paints and answers every `lookMs`.
    LongTask(QWidget *parent, const bool &abandoned, QString label, int delayMs, int lookMs = 100);
    ~LongTask();
    LongTask(const LongTask &) = delete;
    LongTask &operator=(const LongTask &) = delete;

    // For the deck's reading and writing.
    Progress progress();

private:
    bool update(qint64 done, qint64 total);

    QWidget *m_parent;
    const bool &m_abandoned;
    QString m_label;
    int m_delayMs;
    QElapsedTimer m_clock;
    int m_lookMs;
    qint64 m_nextLookMs; // the first look, as often as the later ones
    std::unique_ptr<QProgressDialog> m_dialog;
};
