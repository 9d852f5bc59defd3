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

// A data file named on the command line, for the large-file benchmarks:
//   deck            the largest deck above (301 lines)
//   no-line-end:N   N bytes of 'x' and not a single line end
//   sparse:N        N zero bytes in a sparse file (ftruncate), which take no disk
// N carries a unit: B, kB, MB, GB (powers of 1000) or KiB, MiB, GiB. Writes it to `path`
// and returns how to print it; throws on a bad name or a failed write.
QString WriteDataFileOfKind(const QString &path, const QByteArray &kind);
// "200MB" -> 200000000, "2GiB" -> 2147483648; -1 when it is no size.
qint64 ParseSize(const QByteArray &text);

// Lowers this process's address-space limit (RLIMIT_AS, soft), which children inherit, so
// that a program that would take more memory fails its allocation instead of pushing a
// shared machine into swap. 0 restores the previous limit. False when refused.
bool LimitAddressSpace(qint64 bytes);

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

// Runs a command (searched in PATH) to its end; returns its exit status, or -1.
int RunCommand(const QList<QByteArray> &command);

} // namespace bench
