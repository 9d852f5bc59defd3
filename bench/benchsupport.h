#pragma once

// What the benchmark programs share: a private working directory, the largest deck,
// clocks, order statistics and the process's own memory figures.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A fresh temporary folder that becomes the working directory, with HOME and the XDG
// folders pointed inside it, so that nothing a benchmark runs can touch a real user's
// files. Call before the application object exists: Qt reads these at start.
class Sandbox
{
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    QString path() const;
    // An absolute path inside the folder.
    QString filePath(const QString &name) const;

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_oldCwd;
};

// The largest deck the program keeps: `lines` question-and-answer lines of Japanese
// text split by "、", as the user would paste it (LF line ends) ...
QString DeckText(int lines = 301);
// ... and as a data file is kept on disk: code page 932, CR LF line ends.
QByteArray DeckFileBytes(int lines = 301);
void WriteFile(const QString &path, const QByteArray &bytes);

double Median(std::vector<double> values);
// The value below which `fraction` of the values lie (nearest rank).
double Quantile(std::vector<double> values, double fraction);

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKiB(const char *field, const QByteArray &pid = "self");
// Sets the peak resident size (VmHWM) back to the current one; false where the kernel
// does not allow it.
bool ResetPeakRss();

// The CPU model and core count, for the record printed with the figures.
QString MachineLine();

// Without any display the window runs on the offscreen platform; call before QApplication.
void UseOffscreenWithoutDisplay();

} // namespace bench
