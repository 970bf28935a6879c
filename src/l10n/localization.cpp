#include "localization.h"

#include "diag/itlog.h"
#include "slidecaptions.h"

#include <QFileInfo>
#include <QHash>
#include <QLocale>

using namespace Qt::StringLiterals;

namespace {

// One record from its texts keyed by field name. A missing key leaves the field empty:
// there is deliberately no fallback to English.
UIStrings S(const QHash<QString, QString> &t)
{
    UIStrings s;
    s.code = t.value(u"code"_s);
    s.langName = t.value(u"langName"_s);
    s.readAgreed = t.value(u"readAgreed"_s);
    s.privacy = t.value(u"privacy"_s);
    s.andWord = t.value(u"andWord"_s);
    s.license = t.value(u"license"_s);
    s.installSetting = t.value(u"installSetting"_s);
    s.selectLanguage = t.value(u"selectLanguage"_s);
    s.installPath = t.value(u"installPath"_s);
    s.browse = t.value(u"browse"_s);
    s.btnInstall = t.value(u"btnInstall"_s);
    s.btnRetry = t.value(u"btnRetry"_s);
    s.btnStartNow = t.value(u"btnStartNow"_s);
    s.btnHide = t.value(u"btnHide"_s);
    s.installingWait = t.value(u"installingWait"_s);
    s.cancelling = t.value(u"cancelling"_s);
    s.installInProgress = t.value(u"installInProgress"_s);
    s.chooseLocation = t.value(u"chooseLocation"_s);
    s.offlineLink = t.value(u"offlineLink"_s);
    s.installFailed = t.value(u"installFailed"_s);
    s.couldNotStart = t.value(u"couldNotStart"_s);
    s.installerError = t.value(u"installerError"_s);
    s.exitConfirm = t.value(u"exitConfirm"_s);
    s.selectFolder = t.value(u"selectFolder"_s);
    s.notEnoughSpace = t.value(u"notEnoughSpace"_s);
    s.noPrivateFolder = t.value(u"noPrivateFolder"_s);
    s.imageUnverified = t.value(u"imageUnverified"_s);
    return s;
}

// The nine languages in pop-up order; index 0 is the default.
QList<UIStrings> buildTable()
{
    return {
        // en
        S({
            {u"code"_s, u"en"_s},
            {u"langName"_s, u"English"_s},
            {u"readAgreed"_s, u"I've read and agreed"_s},
            {u"privacy"_s, u"Privacy Policy"_s},
            {u"andWord"_s, u"and"_s},
            {u"license"_s, u"User License Agreement"_s},
            {u"installSetting"_s, u"Install Setting"_s},
            {u"selectLanguage"_s, u"Select Language:"_s},
            {u"installPath"_s, u"Installation Path:"_s},
            {u"browse"_s, u"Browse"_s},
            {u"btnInstall"_s, u"Install"_s},
            {u"btnRetry"_s, u"Retry"_s},
            {u"btnStartNow"_s, u"Start Now"_s},
            {u"btnHide"_s, u"Hide"_s},
            {u"installingWait"_s, u"Installing, please wait..."_s},
            {u"cancelling"_s, u"Cancelling..."_s},
            {u"installInProgress"_s, u"Please wait, installation is in progress..."_s},
            {u"chooseLocation"_s, u"Please choose an install location."_s},
            {u"offlineLink"_s, u"Download the offline installer"_s},
            {u"installFailed"_s, u"Installation failed."_s},
            {u"couldNotStart"_s, u"Could not start the installer: "_s},
            {u"installerError"_s, u"The installer reported an error (code %ld)."_s},
            {u"exitConfirm"_s, u"Are you sure you want to exit %@ Setup?"_s},
            {u"selectFolder"_s, u"Select install location"_s},
            {u"notEnoughSpace"_s, u"Not enough disk space: %@ needs %ld MB in %@."_s},
            {u"noPrivateFolder"_s, u"No private folder could be made for the download."_s},
            {u"imageUnverified"_s, u"The download could not be verified. Please try again."_s},
        }),
        // de
        S({
            {u"code"_s, u"de"_s},
            {u"langName"_s, u"Deutsch"_s},
            {u"readAgreed"_s, u"Ich habe gelesen und akzeptiere"_s},
            {u"privacy"_s, u"Datenschutzrichtlinie"_s},
            {u"andWord"_s, u"und"_s},
            {u"license"_s, u"Endbenutzer-Lizenzvertrag"_s},
            {u"installSetting"_s, u"Einstellungen"_s},
            {u"selectLanguage"_s, u"Sprache auswählen:"_s},
            {u"installPath"_s, u"Installationspfad:"_s},
            {u"browse"_s, u"Durchsuchen"_s},
            {u"btnInstall"_s, u"Installieren"_s},
            {u"btnRetry"_s, u"Erneut versuchen"_s},
            {u"btnStartNow"_s, u"Jetzt starten"_s},
            {u"btnHide"_s, u"Ausblenden"_s},
            {u"installingWait"_s, u"Installation läuft, bitte warten..."_s},
            {u"cancelling"_s, u"Wird abgebrochen..."_s},
            {u"installInProgress"_s, u"Bitte warten, die Installation läuft..."_s},
            {u"chooseLocation"_s, u"Bitte wählen Sie einen Installationsordner."_s},
            {u"offlineLink"_s, u"Offline-Installationsprogramm herunterladen"_s},
            {u"installFailed"_s, u"Installation fehlgeschlagen."_s},
            {u"couldNotStart"_s, u"Das Installationsprogramm konnte nicht gestartet werden: "_s},
            {u"installerError"_s,
             u"Das Installationsprogramm hat einen Fehler gemeldet (Code %ld)."_s},
            {u"exitConfirm"_s, u"Möchten Sie das %@-Setup wirklich beenden?"_s},
            {u"selectFolder"_s, u"Installationsordner auswählen"_s},
            {u"notEnoughSpace"_s, u"Nicht genug Speicherplatz: %@ benötigt %ld MB in %@."_s},
            {u"noPrivateFolder"_s, u"Für den Download konnte kein privater Ordner angelegt werden."_s},
            {u"imageUnverified"_s, u"Der Download konnte nicht überprüft werden. Bitte versuchen Sie es erneut."_s},
        }),
        // fr
        S({
            {u"code"_s, u"fr"_s},
            {u"langName"_s, u"Français"_s},
            {u"readAgreed"_s, u"J'ai lu et j'accepte"_s},
            {u"privacy"_s, u"Politique de confidentialité"_s},
            {u"andWord"_s, u"et"_s},
            {u"license"_s, u"Contrat de licence utilisateur"_s},
            {u"installSetting"_s, u"Paramètres"_s},
            {u"selectLanguage"_s, u"Choisir la langue :"_s},
            {u"installPath"_s, u"Chemin d'installation :"_s},
            {u"browse"_s, u"Parcourir"_s},
            {u"btnInstall"_s, u"Installer"_s},
            {u"btnRetry"_s, u"Réessayer"_s},
            {u"btnStartNow"_s, u"Démarrer"_s},
            {u"btnHide"_s, u"Masquer"_s},
            {u"installingWait"_s, u"Installation en cours, veuillez patienter..."_s},
            {u"cancelling"_s, u"Annulation..."_s},
            {u"installInProgress"_s, u"Veuillez patienter, l'installation est en cours..."_s},
            {u"chooseLocation"_s, u"Veuillez choisir un dossier d'installation."_s},
            {u"offlineLink"_s, u"Télécharger l'installateur hors ligne"_s},
            {u"installFailed"_s, u"Échec de l'installation."_s},
            {u"couldNotStart"_s, u"Impossible de démarrer l'installateur : "_s},
            {u"installerError"_s, u"L'installateur a signalé une erreur (code %ld)."_s},
            {u"exitConfirm"_s, u"Voulez-vous vraiment quitter l'installation de %@ ?"_s},
            {u"selectFolder"_s, u"Choisir le dossier d'installation"_s},
            {u"notEnoughSpace"_s, u"Espace disque insuffisant : %@ a besoin de %ld Mo dans %@."_s},
            {u"noPrivateFolder"_s, u"Impossible de créer un dossier privé pour le téléchargement."_s},
            {u"imageUnverified"_s, u"Le téléchargement n'a pas pu être vérifié. Veuillez réessayer."_s},
        }),
        // es
        S({
            {u"code"_s, u"es"_s},
            {u"langName"_s, u"Español"_s},
            {u"readAgreed"_s, u"He leído y acepto"_s},
            {u"privacy"_s, u"Política de privacidad"_s},
            {u"andWord"_s, u"y"_s},
            {u"license"_s, u"Contrato de licencia de usuario"_s},
            {u"installSetting"_s, u"Configuración"_s},
            {u"selectLanguage"_s, u"Seleccionar idioma:"_s},
            {u"installPath"_s, u"Ruta de instalación:"_s},
            {u"browse"_s, u"Examinar"_s},
            {u"btnInstall"_s, u"Instalar"_s},
            {u"btnRetry"_s, u"Reintentar"_s},
            {u"btnStartNow"_s, u"Empezar ahora"_s},
            {u"btnHide"_s, u"Ocultar"_s},
            {u"installingWait"_s, u"Instalando, espere por favor..."_s},
            {u"cancelling"_s, u"Cancelando..."_s},
            {u"installInProgress"_s, u"Espere, la instalación está en curso..."_s},
            {u"chooseLocation"_s, u"Elija una carpeta de instalación."_s},
            {u"offlineLink"_s, u"Descargar el instalador sin conexión"_s},
            {u"installFailed"_s, u"Error de instalación."_s},
            {u"couldNotStart"_s, u"No se pudo iniciar el instalador: "_s},
            {u"installerError"_s, u"El instalador informó un error (código %ld)."_s},
            {u"exitConfirm"_s, u"¿Seguro que desea salir del instalador de %@?"_s},
            {u"selectFolder"_s, u"Seleccionar carpeta de instalación"_s},
            {u"notEnoughSpace"_s, u"No hay suficiente espacio en disco: %@ necesita %ld MB en %@."_s},
            {u"noPrivateFolder"_s, u"No se pudo crear una carpeta privada para la descarga."_s},
            {u"imageUnverified"_s, u"No se pudo verificar la descarga. Inténtelo de nuevo."_s},
        }),
        // pt
        S({
            {u"code"_s, u"pt"_s},
            {u"langName"_s, u"Português"_s},
            {u"readAgreed"_s, u"Li e concordo com"_s},
            {u"privacy"_s, u"Política de Privacidade"_s},
            {u"andWord"_s, u"e"_s},
            {u"license"_s, u"Contrato de Licença de Usuário"_s},
            {u"installSetting"_s, u"Configurações"_s},
            {u"selectLanguage"_s, u"Selecionar idioma:"_s},
            {u"installPath"_s, u"Caminho de instalação:"_s},
            {u"browse"_s, u"Procurar"_s},
            {u"btnInstall"_s, u"Instalar"_s},
            {u"btnRetry"_s, u"Tentar novamente"_s},
            {u"btnStartNow"_s, u"Começar agora"_s},
            {u"btnHide"_s, u"Ocultar"_s},
            {u"installingWait"_s, u"Instalando, aguarde..."_s},
            {u"cancelling"_s, u"Cancelando..."_s},
            {u"installInProgress"_s, u"Aguarde, a instalação está em andamento..."_s},
            {u"chooseLocation"_s, u"Escolha uma pasta de instalação."_s},
            {u"offlineLink"_s, u"Baixar o instalador offline"_s},
            {u"installFailed"_s, u"Falha na instalação."_s},
            {u"couldNotStart"_s, u"Não foi possível iniciar o instalador: "_s},
            {u"installerError"_s, u"O instalador relatou um erro (código %ld)."_s},
            {u"exitConfirm"_s, u"Tem certeza de que deseja sair da instalação do %@?"_s},
            {u"selectFolder"_s, u"Selecionar pasta de instalação"_s},
            {u"notEnoughSpace"_s, u"Espaço em disco insuficiente: o %@ precisa de %ld MB em %@."_s},
            {u"noPrivateFolder"_s, u"Não foi possível criar uma pasta privada para o download."_s},
            {u"imageUnverified"_s, u"Não foi possível verificar o download. Tente novamente."_s},
        }),
        // it
        S({
            {u"code"_s, u"it"_s},
            {u"langName"_s, u"Italiano"_s},
            {u"readAgreed"_s, u"Ho letto e accetto"_s},
            {u"privacy"_s, u"Informativa sulla privacy"_s},
            {u"andWord"_s, u"e"_s},
            {u"license"_s, u"Contratto di licenza utente"_s},
            {u"installSetting"_s, u"Impostazioni"_s},
            {u"selectLanguage"_s, u"Seleziona lingua:"_s},
            {u"installPath"_s, u"Percorso di installazione:"_s},
            {u"browse"_s, u"Sfoglia"_s},
            {u"btnInstall"_s, u"Installa"_s},
            {u"btnRetry"_s, u"Riprova"_s},
            {u"btnStartNow"_s, u"Inizia ora"_s},
            {u"btnHide"_s, u"Nascondi"_s},
            {u"installingWait"_s, u"Installazione in corso, attendere..."_s},
            {u"cancelling"_s, u"Annullamento..."_s},
            {u"installInProgress"_s, u"Attendere, installazione in corso..."_s},
            {u"chooseLocation"_s, u"Scegliere una cartella di installazione."_s},
            {u"offlineLink"_s, u"Scarica il programma di installazione offline"_s},
            {u"installFailed"_s, u"Installazione non riuscita."_s},
            {u"couldNotStart"_s, u"Impossibile avviare il programma di installazione: "_s},
            {u"installerError"_s,
             u"Il programma di installazione ha segnalato un errore (codice %ld)."_s},
            {u"exitConfirm"_s, u"Uscire dall'installazione di %@?"_s},
            {u"selectFolder"_s, u"Seleziona cartella di installazione"_s},
            {u"notEnoughSpace"_s, u"Spazio su disco insufficiente: %@ richiede %ld MB in %@."_s},
            {u"noPrivateFolder"_s, u"Impossibile creare una cartella privata per il download."_s},
            {u"imageUnverified"_s, u"Impossibile verificare il download. Riprova."_s},
        }),
        // zh-Hans
        S({
            {u"code"_s, u"zh-Hans"_s},
            {u"langName"_s, u"简体中文"_s},
            {u"readAgreed"_s, u"我已阅读并同意"_s},
            {u"privacy"_s, u"隐私政策"_s},
            {u"andWord"_s, u"和"_s},
            {u"license"_s, u"用户许可协议"_s},
            {u"installSetting"_s, u"安装设置"_s},
            {u"selectLanguage"_s, u"选择语言："_s},
            {u"installPath"_s, u"安装路径："_s},
            {u"browse"_s, u"浏览"_s},
            {u"btnInstall"_s, u"安装"_s},
            {u"btnRetry"_s, u"重试"_s},
            {u"btnStartNow"_s, u"立即启动"_s},
            {u"btnHide"_s, u"隐藏"_s},
            {u"installingWait"_s, u"正在安装，请稍候..."_s},
            {u"cancelling"_s, u"正在取消..."_s},
            {u"installInProgress"_s, u"请稍候，安装正在进行中..."_s},
            {u"chooseLocation"_s, u"请选择安装位置。"_s},
            {u"offlineLink"_s, u"下载离线安装包"_s},
            {u"installFailed"_s, u"安装失败。"_s},
            {u"couldNotStart"_s, u"无法启动安装程序："_s},
            {u"installerError"_s, u"安装程序报告错误（代码 %ld）。"_s},
            {u"exitConfirm"_s, u"确定要退出 %@ 安装程序吗？"_s},
            {u"selectFolder"_s, u"选择安装位置"_s},
            {u"notEnoughSpace"_s, u"磁盘空间不足：%@ 需要 %ld MB 空间（位于 %@）。"_s},
            {u"noPrivateFolder"_s, u"无法为下载创建私有文件夹。"_s},
            {u"imageUnverified"_s, u"无法验证下载的文件。请重试。"_s},
        }),
        // zh-Hant
        S({
            {u"code"_s, u"zh-Hant"_s},
            {u"langName"_s, u"繁體中文"_s},
            {u"readAgreed"_s, u"我已閱讀並同意"_s},
            {u"privacy"_s, u"隱私政策"_s},
            {u"andWord"_s, u"和"_s},
            {u"license"_s, u"使用者授權協議"_s},
            {u"installSetting"_s, u"安裝設定"_s},
            {u"selectLanguage"_s, u"選擇語言："_s},
            {u"installPath"_s, u"安裝路徑："_s},
            {u"browse"_s, u"瀏覽"_s},
            {u"btnInstall"_s, u"安裝"_s},
            {u"btnRetry"_s, u"重試"_s},
            {u"btnStartNow"_s, u"立即啟動"_s},
            {u"btnHide"_s, u"隱藏"_s},
            {u"installingWait"_s, u"正在安裝，請稍候..."_s},
            {u"cancelling"_s, u"正在取消..."_s},
            {u"installInProgress"_s, u"請稍候，安裝正在進行中..."_s},
            {u"chooseLocation"_s, u"請選擇安裝位置。"_s},
            {u"offlineLink"_s, u"下載離線安裝程式"_s},
            {u"installFailed"_s, u"安裝失敗。"_s},
            {u"couldNotStart"_s, u"無法啟動安裝程式："_s},
            {u"installerError"_s, u"安裝程式回報錯誤（代碼 %ld）。"_s},
            {u"exitConfirm"_s, u"確定要退出 %@ 安裝程式嗎？"_s},
            {u"selectFolder"_s, u"選擇安裝位置"_s},
            {u"notEnoughSpace"_s, u"磁碟空間不足：%@ 需要 %ld MB 空間（位於 %@）。"_s},
            {u"noPrivateFolder"_s, u"無法為下載建立私人資料夾。"_s},
            {u"imageUnverified"_s, u"無法驗證下載的檔案。請再試一次。"_s},
        }),
        // ja
        S({
            {u"code"_s, u"ja"_s},
            {u"langName"_s, u"日本語"_s},
            {u"readAgreed"_s, u"以下を読み、同意します："_s},
            {u"privacy"_s, u"プライバシーポリシー"_s},
            {u"andWord"_s, u"と"_s},
            {u"license"_s, u"使用許諾契約"_s},
            {u"installSetting"_s, u"インストール設定"_s},
            {u"selectLanguage"_s, u"言語を選択："_s},
            {u"installPath"_s, u"インストール先："_s},
            {u"browse"_s, u"参照"_s},
            {u"btnInstall"_s, u"インストール"_s},
            {u"btnRetry"_s, u"再試行"_s},
            {u"btnStartNow"_s, u"今すぐ開始"_s},
            {u"btnHide"_s, u"隠す"_s},
            {u"installingWait"_s, u"インストール中です。お待ちください..."_s},
            {u"cancelling"_s, u"キャンセルしています..."_s},
            {u"installInProgress"_s, u"インストールが進行中です。お待ちください..."_s},
            {u"chooseLocation"_s, u"インストール先を選択してください。"_s},
            {u"offlineLink"_s, u"オフラインインストーラーをダウンロード"_s},
            {u"installFailed"_s, u"インストールに失敗しました。"_s},
            {u"couldNotStart"_s, u"インストーラーを起動できませんでした："_s},
            {u"installerError"_s, u"インストーラーがエラーを報告しました（コード %ld）。"_s},
            {u"exitConfirm"_s, u"%@ のセットアップを終了しますか？"_s},
            {u"selectFolder"_s, u"インストール先の選択"_s},
            {u"notEnoughSpace"_s, u"ディスクの空き容量が不足しています：%@ には %ld MB が必要です（%@）。"_s},
            {u"noPrivateFolder"_s, u"ダウンロード用のプライベートフォルダを作成できませんでした。"_s},
            {u"imageUnverified"_s, u"ダウンロードを検証できませんでした。もう一度お試しください。"_s},
        }),
    };
}

} // namespace

const QList<UIStrings> &Localization::all()
{
    // Built once; concurrent first callers wait for it.
    static const QList<UIStrings> langs = [] {
        QList<UIStrings> table = buildTable();
        const QString path = QString::fromLatin1(kSlideCaptionsResource);
        const SlideCaptionsResult loaded =
            loadSlideCaptions(QFileInfo::exists(path) ? path : QString(), table);
        for (const QString &line : loaded.logLines)
            ITLogMessage(line);
        return table;
    }();
    return langs;
}

qint64 Localization::detectSystemLanguageIndex()
{
    const QStringList preferred = QLocale::system().uiLanguages();
    return languageIndexFor(preferred.isEmpty() ? QString() : preferred.first());
}

// Plain prefix and substring tests, not a parse of the tag: a Taiwan, Hong Kong or Macao
// region selects Traditional Chinese even when the script says Simplified.
qint64 Localization::languageIndexFor(const QString &identifier)
{
    const QString id = identifier.isEmpty() ? u"en"_s : identifier.toLower();
    if (id.startsWith(u"de"))
        return 1;
    if (id.startsWith(u"fr"))
        return 2;
    if (id.startsWith(u"es"))
        return 3;
    if (id.startsWith(u"pt"))
        return 4;
    if (id.startsWith(u"it"))
        return 5;
    if (id.startsWith(u"zh")) {
        for (QStringView mark : {u"hant", u"-tw", u"-hk", u"-mo"}) {
            if (id.contains(mark))
                return 7;
        }
        return 6;
    }
    if (id.startsWith(u"ja"))
        return 8;
    return 0;
}
