#include "appdelegate.h"

#include "config.h"

#include "diag/diagnostics.h"
#include "diag/itlog.h"
#include "platform/castore.h"
#include "platform/paths.h"
#include "platform/singleinstance.h"
#include "ui/fonts.h"

#include <QApplication>
#include <QTimer>

#include <curl/curl.h>
#ifdef QM_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

#include <climits>
#include <string>
#include <system_error>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace app;

namespace {

const QString kAppId = QStringLiteral("app.quillmarsh.installer");

#ifdef QM_HAVE_FONTCONFIG
// The self-contained release carries the two faces the fixed frames were drawn for in
// share/quillmarsh-installer/fonts beside its bin folder; they join the system's fonts for this
// process only. An installed build has no such folder and reads nothing more.
void addFontsBesideProgram()
{
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return;
    std::string dir(exe, size_t(n));
    dir.erase(dir.rfind('/'));
    dir += "/../share/quillmarsh-installer/fonts";
    struct stat st
    {
    };
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        FcConfigAppFontAddDir(nullptr, reinterpret_cast<const FcChar8 *>(dir.c_str()));
}
#endif

// Reading the font configuration (some sixty files) and the font caches is a few milliseconds of
// the start that the window cannot do without. A thread of its own does it while Qt sets itself
// up, which needs no fonts.
std::jthread startFontConfigLoad()
{
#ifdef QM_HAVE_FONTCONFIG
    try {
        return std::jthread([] {
            FcInit();
            addFontsBesideProgram();
        });
    } catch (const std::system_error &) {
        // Qt loads it when it first needs a font, as it would anyway.
    }
#endif
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    // Before any thread exists.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // The certificate store is looked up once, here, so no transfer waits for it.
    platform::systemCaStore();
    std::jthread fontConfig = startFontConfigLoad();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(QUILLMARSH_PRODUCT_NAME));
    QApplication::setDesktopFileName(kAppId);

    // Another installer is running: it has been brought to the front, and this one leaves
    // without a window, a log line or an event.
    platform::SingleInstance instance(kAppId);
    instance.onRefused = [](const QString &why) { ITLog("UI: single instance: %@", why); };
    const bool anotherRunning = instance.anotherInstanceActivated();

    // Joined before anything can ask for a font, and before Qt is torn down (which lets go of
    // fontconfig): fontconfig hands its configuration from thread to thread with atomics of its
    // own, which the thread sanitizer cannot see, and a Qt that came too early would only read it
    // all a second time.
    if (fontConfig.joinable())
        fontConfig.join();
    if (anotherRunning)
        return 0;

    // Every widget starts out with the interface font: widgets that lay out text while they are
    // constructed (a line edit does, before it takes its parent's font) would otherwise load the
    // platform's default face as well, a font the window never shows.
    QApplication::setFont(ui::interfaceFont());

    // What the run shares, each made once here and ended in the reverse order: the window and
    // its flow (which stops its stages and empties the private folder), then the private folder
    // (a fresh one made for this run goes entirely), then the diagnostics, which outlive both so
    // that their last events are sent and their last lines written.
    diag::Diagnostics diagnostics;
    const platform::PrivateFolder privateFolder;
    auto delegate = std::make_unique<AppDelegate>(privateFolder.path());
    instance.onActivate = [&delegate] { delegate->activate(); };
    QApplication::setQuitOnLastWindowClosed(
        delegate->applicationShouldTerminateAfterLastWindowClosed());
    QTimer::singleShot(0, delegate.get(), &AppDelegate::applicationDidFinishLaunching);
    app.exec();
    delegate.reset();
    return 0;
}
