#include "longtask.h"

#include <QCoreApplication>
#include <QProgressDialog>


using namespace Qt::StringLiterals;

namespace {
constexpr int kSteps = 1000;
} // namespace

LongTask::LongTask(QWidget *parent, const bool &abandoned, QString label, int delayMs, int lookMs)
    : m_parent(parent), m_abandoned(abandoned), m_label(std::move(label)), m_delayMs(delayMs), m_lookMs(lookMs),
      m_nextLookMs(lookMs)
{
    m_clock.start();
}

LongTask::~LongTask() = default;

Progress LongTask::progress()
{
    return [this](qint64 done, qint64 total) { return update(done, total); };
}

bool LongTask::update(qint64 done, qint64 total)
{
    if (m_abandoned)
        return false;
    if (!m_dialog) {
        if (m_clock.elapsed() < m_delayMs) {
            // The user's input waits for the dialog, or for the end of the work.
            if (m_clock.elapsed() >= m_nextLookMs) {
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
                m_nextLookMs = m_clock.elapsed() + m_lookMs;
            }
            return true;
        }
        m_dialog = std::make_unique<QProgressDialog>(m_label, u"キャンセル"_s, 0, kSteps, m_parent);
        m_dialog->setWindowTitle(u"Pelmor"_s);
        m_dialog->setWindowModality(Qt::ApplicationModal);
        m_dialog->setMinimumDuration(0);
        m_dialog->setAutoClose(false);
        m_dialog->setAutoReset(false);
        m_dialog->show();
    }
    if (total > 0 && done <= total) {
        if (m_dialog->maximum() == 0)
            m_dialog->setRange(0, kSteps);
        // A modal dialog's setValue also handles the events that came meanwhile: painting,
        // the cancel button.
        m_dialog->setValue(int(done * kSteps / total));
    } else {
        // Busy, with the bytes so far: a bar held full would say the end is near.
        m_dialog->setRange(0, 0);
        m_dialog->setLabelText(m_label + u"\n%1 MB"_s.arg(double(done) / 1e6, 0, 'f', 1));
        QCoreApplication::processEvents();
    }
    return !m_dialog->wasCanceled() && !m_abandoned;
}
