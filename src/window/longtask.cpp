#include "longtask.h"

#include <QCoreApplication>
#include <QProgressDialog>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
constexpr int kSteps = 1000;
// How often the window paints and answers before the dialog shows.
constexpr qint64 kLookMs = 100;
} // namespace

LongTask::LongTask(QWidget *parent, QString label, int delayMs)
    : m_parent(parent), m_label(std::move(label)), m_delayMs(delayMs)
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
    if (!m_dialog) {
        if (m_clock.elapsed() < m_delayMs) {
            // The user's input waits for the dialog, or for the end of the work.
            if (m_clock.elapsed() >= m_nextLookMs) {
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
                m_nextLookMs = m_clock.elapsed() + kLookMs;
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
    const int step = total > 0 ? int(std::clamp<qint64>(done * kSteps / total, 0, kSteps)) : 0;
    // A modal dialog's setValue also handles the events that came meanwhile: painting, the cancel button.
    m_dialog->setValue(step);
    return !m_dialog->wasCanceled();
}
