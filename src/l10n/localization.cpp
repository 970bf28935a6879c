#include "localization.h"

#include "diag/itlog.h"
#include "slidecaptions.h"

#include <QFileInfo>
#include <QLocale>

#include <iterator>

namespace l10n {

using namespace Qt::StringLiterals;

namespace {

// The nine languages in pop-up order; index 0 is the default.
QList<UIStrings> buildTable()
{
    return {
        // en
        UIStrings{
            .code = u"en"_s,
            .langName = u"English"_s,
            .readAgreed = u"I've read and agreed"_s,
            .privacy = u"Privacy Policy"_s,
            .andWord = u"and"_s,
            .license = u"User License Agreement"_s,
            .installSetting = u"Install Setting"_s,
            .selectLanguage = u"Select Language:"_s,
            .installPath = u"Installation Path:"_s,
            .browse = u"Browse"_s,
            .btnInstall = u"Install"_s,
            .btnRetry = u"Retry"_s,
            .btnStartNow = u"Start Now"_s,
            .btnHide = u"Hide"_s,
            .installingWait = u"Installing, please wait..."_s,
            .cancelling = u"Cancelling..."_s,
            .installInProgress = u"Please wait, installation is in progress..."_s,
            .chooseLocation = u"Please choose an install location."_s,
            .offlineLink = u"Download the offline installer"_s,
            .installFailed = u"Installation failed."_s,
            .couldNotStart = u"Could not start the installer: "_s,
            .installerError = u"The installer reported an error (code %ld)."_s,
            .exitConfirm = u"Are you sure you want to exit %@ Setup?"_s,
            .selectFolder = u"Select install location"_s,
            .notEnoughSpace = u"Not enough disk space: %@ needs %ld MB in %@."_s,
            .noPrivateFolder = u"No private folder could be made for the download."_s,
            .imageUnverified = u"The download could not be verified. Please try again."_s,
            .netHostNotFound =
                u"The download server could not be found. Please check your internet connection."_s,
            .netNoConnection =
                u"Could not connect to the download server. Please check your internet connection."_s,
            .netTimedOut = u"The download server did not respond in time. Please try again."_s,
            .netConnectionLost =
                u"The connection to the download server was lost. Please try again."_s,
            .netCertUntrusted =
                u"The download server's certificate is not trusted. The download was stopped."_s,
            .netCertExpired =
                u"The download server's certificate has expired or is not yet valid. Please check your computer's date and time."_s,
            .netCertWrongHost =
                u"The download server's certificate belongs to another server. The download was stopped."_s,
            .netProxyAuth =
                u"The proxy server asks for a password. Please enter it in your system's proxy settings."_s,
            .netProxyFailed =
                u"The download server could not be reached through the proxy. Please check your proxy settings."_s,
            .netOther = u"The download failed. Please try again."_s,
            .slides = {},
        },
        // de
        UIStrings{
            .code = u"de"_s,
            .langName = u"Deutsch"_s,
            .readAgreed = u"Ich habe gelesen und akzeptiere"_s,
            .privacy = u"Datenschutzrichtlinie"_s,
            .andWord = u"und"_s,
            .license = u"Endbenutzer-Lizenzvertrag"_s,
            .installSetting = u"Einstellungen"_s,
            .selectLanguage = u"Sprache auswählen:"_s,
            .installPath = u"Installationspfad:"_s,
            .browse = u"Durchsuchen"_s,
            .btnInstall = u"Installieren"_s,
            .btnRetry = u"Erneut versuchen"_s,
            .btnStartNow = u"Jetzt starten"_s,
            .btnHide = u"Ausblenden"_s,
            .installingWait = u"Installation läuft, bitte warten..."_s,
            .cancelling = u"Wird abgebrochen..."_s,
            .installInProgress = u"Bitte warten, die Installation läuft..."_s,
            .chooseLocation = u"Bitte wählen Sie einen Installationsordner."_s,
            .offlineLink = u"Offline-Installationsprogramm herunterladen"_s,
            .installFailed = u"Installation fehlgeschlagen."_s,
            .couldNotStart = u"Das Installationsprogramm konnte nicht gestartet werden: "_s,
            .installerError = u"Das Installationsprogramm hat einen Fehler gemeldet (Code %ld)."_s,
            .exitConfirm = u"Möchten Sie das %@-Setup wirklich beenden?"_s,
            .selectFolder = u"Installationsordner auswählen"_s,
            .notEnoughSpace = u"Nicht genug Speicherplatz: %@ benötigt %ld MB in %@."_s,
            .noPrivateFolder = u"Für den Download konnte kein privater Ordner angelegt werden."_s,
            .imageUnverified =
                u"Der Download konnte nicht überprüft werden. Bitte versuchen Sie es erneut."_s,
            .netHostNotFound =
                u"Der Download-Server wurde nicht gefunden. Bitte überprüfen Sie Ihre Internetverbindung."_s,
            .netNoConnection =
                u"Keine Verbindung zum Download-Server möglich. Bitte überprüfen Sie Ihre Internetverbindung."_s,
            .netTimedOut =
                u"Der Download-Server hat nicht rechtzeitig geantwortet. Bitte versuchen Sie es erneut."_s,
            .netConnectionLost =
                u"Die Verbindung zum Download-Server wurde unterbrochen. Bitte versuchen Sie es erneut."_s,
            .netCertUntrusted =
                u"Dem Zertifikat des Download-Servers wird nicht vertraut. Der Download wurde gestoppt."_s,
            .netCertExpired =
                u"Das Zertifikat des Download-Servers ist abgelaufen oder noch nicht gültig. Bitte prüfen Sie Datum und Uhrzeit Ihres Computers."_s,
            .netCertWrongHost =
                u"Das Zertifikat des Download-Servers gehört zu einem anderen Server. Der Download wurde gestoppt."_s,
            .netProxyAuth =
                u"Der Proxyserver verlangt ein Passwort. Bitte geben Sie es in den Proxy-Einstellungen Ihres Systems ein."_s,
            .netProxyFailed =
                u"Der Download-Server ist über den Proxy nicht erreichbar. Bitte prüfen Sie die Proxy-Einstellungen."_s,
            .netOther = u"Der Download ist fehlgeschlagen. Bitte versuchen Sie es erneut."_s,
            .slides = {},
        },
        // fr
        UIStrings{
            .code = u"fr"_s,
            .langName = u"Français"_s,
            .readAgreed = u"J'ai lu et j'accepte"_s,
            .privacy = u"Politique de confidentialité"_s,
            .andWord = u"et"_s,
            .license = u"Contrat de licence utilisateur"_s,
            .installSetting = u"Paramètres"_s,
            .selectLanguage = u"Choisir la langue :"_s,
            .installPath = u"Chemin d'installation :"_s,
            .browse = u"Parcourir"_s,
            .btnInstall = u"Installer"_s,
            .btnRetry = u"Réessayer"_s,
            .btnStartNow = u"Démarrer"_s,
            .btnHide = u"Masquer"_s,
            .installingWait = u"Installation en cours, veuillez patienter..."_s,
            .cancelling = u"Annulation..."_s,
            .installInProgress = u"Veuillez patienter, l'installation est en cours..."_s,
            .chooseLocation = u"Veuillez choisir un dossier d'installation."_s,
            .offlineLink = u"Télécharger l'installateur hors ligne"_s,
            .installFailed = u"Échec de l'installation."_s,
            .couldNotStart = u"Impossible de démarrer l'installateur : "_s,
            .installerError = u"L'installateur a signalé une erreur (code %ld)."_s,
            .exitConfirm = u"Voulez-vous vraiment quitter l'installation de %@ ?"_s,
            .selectFolder = u"Choisir le dossier d'installation"_s,
            .notEnoughSpace = u"Espace disque insuffisant : %@ a besoin de %ld Mo dans %@."_s,
            .noPrivateFolder = u"Impossible de créer un dossier privé pour le téléchargement."_s,
            .imageUnverified = u"Le téléchargement n'a pas pu être vérifié. Veuillez réessayer."_s,
            .netHostNotFound =
                u"Le serveur de téléchargement est introuvable. Vérifiez votre connexion Internet."_s,
            .netNoConnection =
                u"Impossible de se connecter au serveur de téléchargement. Vérifiez votre connexion Internet."_s,
            .netTimedOut =
                u"Le serveur de téléchargement n'a pas répondu à temps. Veuillez réessayer."_s,
            .netConnectionLost =
                u"La connexion au serveur de téléchargement a été perdue. Veuillez réessayer."_s,
            .netCertUntrusted =
                u"Le certificat du serveur de téléchargement n'est pas approuvé. Le téléchargement a été arrêté."_s,
            .netCertExpired =
                u"Le certificat du serveur de téléchargement a expiré ou n'est pas encore valide. Vérifiez la date et l'heure de votre ordinateur."_s,
            .netCertWrongHost =
                u"Le certificat du serveur de téléchargement appartient à un autre serveur. Le téléchargement a été arrêté."_s,
            .netProxyAuth =
                u"Le serveur proxy demande un mot de passe. Saisissez-le dans les réglages proxy de votre système."_s,
            .netProxyFailed =
                u"Le serveur de téléchargement est inaccessible via le proxy. Vérifiez vos réglages proxy."_s,
            .netOther = u"Le téléchargement a échoué. Veuillez réessayer."_s,
            .slides = {},
        },
        // es
        UIStrings{
            .code = u"es"_s,
            .langName = u"Español"_s,
            .readAgreed = u"He leído y acepto"_s,
            .privacy = u"Política de privacidad"_s,
            .andWord = u"y"_s,
            .license = u"Contrato de licencia de usuario"_s,
            .installSetting = u"Configuración"_s,
            .selectLanguage = u"Seleccionar idioma:"_s,
            .installPath = u"Ruta de instalación:"_s,
            .browse = u"Examinar"_s,
            .btnInstall = u"Instalar"_s,
            .btnRetry = u"Reintentar"_s,
            .btnStartNow = u"Empezar ahora"_s,
            .btnHide = u"Ocultar"_s,
            .installingWait = u"Instalando, espere por favor..."_s,
            .cancelling = u"Cancelando..."_s,
            .installInProgress = u"Espere, la instalación está en curso..."_s,
            .chooseLocation = u"Elija una carpeta de instalación."_s,
            .offlineLink = u"Descargar el instalador sin conexión"_s,
            .installFailed = u"Error de instalación."_s,
            .couldNotStart = u"No se pudo iniciar el instalador: "_s,
            .installerError = u"El instalador informó un error (código %ld)."_s,
            .exitConfirm = u"¿Seguro que desea salir del instalador de %@?"_s,
            .selectFolder = u"Seleccionar carpeta de instalación"_s,
            .notEnoughSpace = u"No hay suficiente espacio en disco: %@ necesita %ld MB en %@."_s,
            .noPrivateFolder = u"No se pudo crear una carpeta privada para la descarga."_s,
            .imageUnverified = u"No se pudo verificar la descarga. Inténtelo de nuevo."_s,
            .netHostNotFound =
                u"No se encontró el servidor de descarga. Compruebe su conexión a Internet."_s,
            .netNoConnection =
                u"No se pudo conectar con el servidor de descarga. Compruebe su conexión a Internet."_s,
            .netTimedOut = u"El servidor de descarga no respondió a tiempo. Inténtelo de nuevo."_s,
            .netConnectionLost =
                u"Se perdió la conexión con el servidor de descarga. Inténtelo de nuevo."_s,
            .netCertUntrusted =
                u"El certificado del servidor de descarga no es de confianza. Se detuvo la descarga."_s,
            .netCertExpired =
                u"El certificado del servidor de descarga ha caducado o aún no es válido. Compruebe la fecha y la hora del equipo."_s,
            .netCertWrongHost =
                u"El certificado del servidor de descarga pertenece a otro servidor. Se detuvo la descarga."_s,
            .netProxyAuth =
                u"El servidor proxy pide una contraseña. Introdúzcala en la configuración de proxy del sistema."_s,
            .netProxyFailed =
                u"No se pudo acceder al servidor de descarga a través del proxy. Compruebe la configuración de proxy."_s,
            .netOther = u"La descarga ha fallado. Inténtelo de nuevo."_s,
            .slides = {},
        },
        // pt
        UIStrings{
            .code = u"pt"_s,
            .langName = u"Português"_s,
            .readAgreed = u"Li e concordo com"_s,
            .privacy = u"Política de Privacidade"_s,
            .andWord = u"e"_s,
            .license = u"Contrato de Licença de Usuário"_s,
            .installSetting = u"Configurações"_s,
            .selectLanguage = u"Selecionar idioma:"_s,
            .installPath = u"Caminho de instalação:"_s,
            .browse = u"Procurar"_s,
            .btnInstall = u"Instalar"_s,
            .btnRetry = u"Tentar novamente"_s,
            .btnStartNow = u"Começar agora"_s,
            .btnHide = u"Ocultar"_s,
            .installingWait = u"Instalando, aguarde..."_s,
            .cancelling = u"Cancelando..."_s,
            .installInProgress = u"Aguarde, a instalação está em andamento..."_s,
            .chooseLocation = u"Escolha uma pasta de instalação."_s,
            .offlineLink = u"Baixar o instalador offline"_s,
            .installFailed = u"Falha na instalação."_s,
            .couldNotStart = u"Não foi possível iniciar o instalador: "_s,
            .installerError = u"O instalador relatou um erro (código %ld)."_s,
            .exitConfirm = u"Tem certeza de que deseja sair da instalação do %@?"_s,
            .selectFolder = u"Selecionar pasta de instalação"_s,
            .notEnoughSpace = u"Espaço em disco insuficiente: o %@ precisa de %ld MB em %@."_s,
            .noPrivateFolder = u"Não foi possível criar uma pasta privada para o download."_s,
            .imageUnverified = u"Não foi possível verificar o download. Tente novamente."_s,
            .netHostNotFound =
                u"O servidor de download não foi encontrado. Verifique sua conexão com a Internet."_s,
            .netNoConnection =
                u"Não foi possível conectar ao servidor de download. Verifique sua conexão com a Internet."_s,
            .netTimedOut = u"O servidor de download não respondeu a tempo. Tente novamente."_s,
            .netConnectionLost =
                u"A conexão com o servidor de download foi perdida. Tente novamente."_s,
            .netCertUntrusted =
                u"O certificado do servidor de download não é confiável. O download foi interrompido."_s,
            .netCertExpired =
                u"O certificado do servidor de download expirou ou ainda não é válido. Verifique a data e a hora do computador."_s,
            .netCertWrongHost =
                u"O certificado do servidor de download pertence a outro servidor. O download foi interrompido."_s,
            .netProxyAuth =
                u"O servidor proxy pede uma senha. Digite-a nas configurações de proxy do sistema."_s,
            .netProxyFailed =
                u"Não foi possível acessar o servidor de download pelo proxy. Verifique as configurações de proxy."_s,
            .netOther = u"O download falhou. Tente novamente."_s,
            .slides = {},
        },
        // it
        UIStrings{
            .code = u"it"_s,
            .langName = u"Italiano"_s,
            .readAgreed = u"Ho letto e accetto"_s,
            .privacy = u"Informativa sulla privacy"_s,
            .andWord = u"e"_s,
            .license = u"Contratto di licenza utente"_s,
            .installSetting = u"Impostazioni"_s,
            .selectLanguage = u"Seleziona lingua:"_s,
            .installPath = u"Percorso di installazione:"_s,
            .browse = u"Sfoglia"_s,
            .btnInstall = u"Installa"_s,
            .btnRetry = u"Riprova"_s,
            .btnStartNow = u"Inizia ora"_s,
            .btnHide = u"Nascondi"_s,
            .installingWait = u"Installazione in corso, attendere..."_s,
            .cancelling = u"Annullamento..."_s,
            .installInProgress = u"Attendere, installazione in corso..."_s,
            .chooseLocation = u"Scegliere una cartella di installazione."_s,
            .offlineLink = u"Scarica il programma di installazione offline"_s,
            .installFailed = u"Installazione non riuscita."_s,
            .couldNotStart = u"Impossibile avviare il programma di installazione: "_s,
            .installerError =
                u"Il programma di installazione ha segnalato un errore (codice %ld)."_s,
            .exitConfirm = u"Uscire dall'installazione di %@?"_s,
            .selectFolder = u"Seleziona cartella di installazione"_s,
            .notEnoughSpace = u"Spazio su disco insufficiente: %@ richiede %ld MB in %@."_s,
            .noPrivateFolder = u"Impossibile creare una cartella privata per il download."_s,
            .imageUnverified = u"Impossibile verificare il download. Riprova."_s,
            .netHostNotFound =
                u"Impossibile trovare il server di download. Controlla la connessione a Internet."_s,
            .netNoConnection =
                u"Impossibile connettersi al server di download. Controlla la connessione a Internet."_s,
            .netTimedOut = u"Il server di download non ha risposto in tempo. Riprova."_s,
            .netConnectionLost =
                u"La connessione al server di download si è interrotta. Riprova."_s,
            .netCertUntrusted =
                u"Il certificato del server di download non è attendibile. Il download è stato interrotto."_s,
            .netCertExpired =
                u"Il certificato del server di download è scaduto o non è ancora valido. Controlla la data e l'ora del computer."_s,
            .netCertWrongHost =
                u"Il certificato del server di download appartiene a un altro server. Il download è stato interrotto."_s,
            .netProxyAuth =
                u"Il server proxy richiede una password. Inseriscila nelle impostazioni proxy del sistema."_s,
            .netProxyFailed =
                u"Impossibile raggiungere il server di download tramite il proxy. Controlla le impostazioni proxy."_s,
            .netOther = u"Download non riuscito. Riprova."_s,
            .slides = {},
        },
        // zh-Hans
        UIStrings{
            .code = u"zh-Hans"_s,
            .langName = u"简体中文"_s,
            .readAgreed = u"我已阅读并同意"_s,
            .privacy = u"隐私政策"_s,
            .andWord = u"和"_s,
            .license = u"用户许可协议"_s,
            .installSetting = u"安装设置"_s,
            .selectLanguage = u"选择语言："_s,
            .installPath = u"安装路径："_s,
            .browse = u"浏览"_s,
            .btnInstall = u"安装"_s,
            .btnRetry = u"重试"_s,
            .btnStartNow = u"立即启动"_s,
            .btnHide = u"隐藏"_s,
            .installingWait = u"正在安装，请稍候..."_s,
            .cancelling = u"正在取消..."_s,
            .installInProgress = u"请稍候，安装正在进行中..."_s,
            .chooseLocation = u"请选择安装位置。"_s,
            .offlineLink = u"下载离线安装包"_s,
            .installFailed = u"安装失败。"_s,
            .couldNotStart = u"无法启动安装程序："_s,
            .installerError = u"安装程序报告错误（代码 %ld）。"_s,
            .exitConfirm = u"确定要退出 %@ 安装程序吗？"_s,
            .selectFolder = u"选择安装位置"_s,
            .notEnoughSpace = u"磁盘空间不足：%@ 需要 %ld MB 空间（位于 %@）。"_s,
            .noPrivateFolder = u"无法为下载创建私有文件夹。"_s,
            .imageUnverified = u"无法验证下载的文件。请重试。"_s,
            .netHostNotFound = u"找不到下载服务器。请检查您的网络连接。"_s,
            .netNoConnection = u"无法连接到下载服务器。请检查您的网络连接。"_s,
            .netTimedOut = u"下载服务器未及时响应。请重试。"_s,
            .netConnectionLost = u"与下载服务器的连接已中断。请重试。"_s,
            .netCertUntrusted = u"下载服务器的证书不受信任。下载已停止。"_s,
            .netCertExpired = u"下载服务器的证书已过期或尚未生效。请检查电脑的日期和时间。"_s,
            .netCertWrongHost = u"下载服务器的证书属于其他服务器。下载已停止。"_s,
            .netProxyAuth = u"代理服务器要求输入密码。请在系统的代理设置中输入。"_s,
            .netProxyFailed = u"无法通过代理访问下载服务器。请检查代理设置。"_s,
            .netOther = u"下载失败。请重试。"_s,
            .slides = {},
        },
        // zh-Hant
        UIStrings{
            .code = u"zh-Hant"_s,
            .langName = u"繁體中文"_s,
            .readAgreed = u"我已閱讀並同意"_s,
            .privacy = u"隱私政策"_s,
            .andWord = u"和"_s,
            .license = u"使用者授權協議"_s,
            .installSetting = u"安裝設定"_s,
            .selectLanguage = u"選擇語言："_s,
            .installPath = u"安裝路徑："_s,
            .browse = u"瀏覽"_s,
            .btnInstall = u"安裝"_s,
            .btnRetry = u"重試"_s,
            .btnStartNow = u"立即啟動"_s,
            .btnHide = u"隱藏"_s,
            .installingWait = u"正在安裝，請稍候..."_s,
            .cancelling = u"正在取消..."_s,
            .installInProgress = u"請稍候，安裝正在進行中..."_s,
            .chooseLocation = u"請選擇安裝位置。"_s,
            .offlineLink = u"下載離線安裝程式"_s,
            .installFailed = u"安裝失敗。"_s,
            .couldNotStart = u"無法啟動安裝程式："_s,
            .installerError = u"安裝程式回報錯誤（代碼 %ld）。"_s,
            .exitConfirm = u"確定要退出 %@ 安裝程式嗎？"_s,
            .selectFolder = u"選擇安裝位置"_s,
            .notEnoughSpace = u"磁碟空間不足：%@ 需要 %ld MB 空間（位於 %@）。"_s,
            .noPrivateFolder = u"無法為下載建立私人資料夾。"_s,
            .imageUnverified = u"無法驗證下載的檔案。請再試一次。"_s,
            .netHostNotFound = u"找不到下載伺服器。請檢查您的網路連線。"_s,
            .netNoConnection = u"無法連線到下載伺服器。請檢查您的網路連線。"_s,
            .netTimedOut = u"下載伺服器未及時回應。請再試一次。"_s,
            .netConnectionLost = u"與下載伺服器的連線已中斷。請再試一次。"_s,
            .netCertUntrusted = u"下載伺服器的憑證不受信任。下載已停止。"_s,
            .netCertExpired = u"下載伺服器的憑證已過期或尚未生效。請檢查電腦的日期和時間。"_s,
            .netCertWrongHost = u"下載伺服器的憑證屬於其他伺服器。下載已停止。"_s,
            .netProxyAuth = u"代理伺服器要求輸入密碼。請在系統的代理設定中輸入。"_s,
            .netProxyFailed = u"無法透過代理連線到下載伺服器。請檢查代理設定。"_s,
            .netOther = u"下載失敗。請再試一次。"_s,
            .slides = {},
        },
        // ja
        UIStrings{
            .code = u"ja"_s,
            .langName = u"日本語"_s,
            .readAgreed = u"以下を読み、同意します："_s,
            .privacy = u"プライバシーポリシー"_s,
            .andWord = u"と"_s,
            .license = u"使用許諾契約"_s,
            .installSetting = u"インストール設定"_s,
            .selectLanguage = u"言語を選択："_s,
            .installPath = u"インストール先："_s,
            .browse = u"参照"_s,
            .btnInstall = u"インストール"_s,
            .btnRetry = u"再試行"_s,
            .btnStartNow = u"今すぐ開始"_s,
            .btnHide = u"隠す"_s,
            .installingWait = u"インストール中です。お待ちください..."_s,
            .cancelling = u"キャンセルしています..."_s,
            .installInProgress = u"インストールが進行中です。お待ちください..."_s,
            .chooseLocation = u"インストール先を選択してください。"_s,
            .offlineLink = u"オフラインインストーラーをダウンロード"_s,
            .installFailed = u"インストールに失敗しました。"_s,
            .couldNotStart = u"インストーラーを起動できませんでした："_s,
            .installerError = u"インストーラーがエラーを報告しました（コード %ld）。"_s,
            .exitConfirm = u"%@ のセットアップを終了しますか？"_s,
            .selectFolder = u"インストール先の選択"_s,
            .notEnoughSpace =
                u"ディスクの空き容量が不足しています：%@ には %ld MB が必要です（%@）。"_s,
            .noPrivateFolder = u"ダウンロード用のプライベートフォルダを作成できませんでした。"_s,
            .imageUnverified = u"ダウンロードを検証できませんでした。もう一度お試しください。"_s,
            .netHostNotFound =
                u"ダウンロードサーバーが見つかりません。インターネット接続を確認してください。"_s,
            .netNoConnection =
                u"ダウンロードサーバーに接続できません。インターネット接続を確認してください。"_s,
            .netTimedOut =
                u"ダウンロードサーバーが時間内に応答しませんでした。もう一度お試しください。"_s,
            .netConnectionLost =
                u"ダウンロードサーバーとの接続が切断されました。もう一度お試しください。"_s,
            .netCertUntrusted =
                u"ダウンロードサーバーの証明書は信頼されていません。ダウンロードを中止しました。"_s,
            .netCertExpired =
                u"ダウンロードサーバーの証明書は期限切れか、まだ有効ではありません。コンピューターの日付と時刻を確認してください。"_s,
            .netCertWrongHost =
                u"ダウンロードサーバーの証明書は別のサーバーのものです。ダウンロードを中止しました。"_s,
            .netProxyAuth =
                u"プロキシサーバーがパスワードを求めています。システムのプロキシ設定で入力してください。"_s,
            .netProxyFailed =
                u"プロキシ経由でダウンロードサーバーに接続できませんでした。プロキシ設定を確認してください。"_s,
            .netOther = u"ダウンロードに失敗しました。もう一度お試しください。"_s,
            .slides = {},
        },
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

// By whole subtags, so that a language whose code merely begins like one of ours ("frr") is not
// taken for it. The POSIX forms ("de_AT.UTF-8@euro") count as well. A Taiwan, Hong Kong or
// Macao region selects Traditional Chinese even when the script says Simplified.
qint64 Localization::languageIndexFor(const QString &identifier)
{
    const QString id = identifier.isEmpty() ? u"en"_s : identifier.toLower();
    QStringList tags = id.section(u'.', 0, 0).section(u'@', 0, 0).split(u'-');
    if (tags.size() == 1)
        tags = tags.first().split(u'_');
    const QString primary = tags.value(0);
    const QStringView plain[] = {u"en", u"de", u"fr", u"es", u"pt", u"it"};
    for (qint64 i = 0; i < qint64(std::size(plain)); ++i) {
        if (primary == plain[i])
            return i;
    }
    if (primary == u"zh") {
        for (const QString &mark : {u"hant"_s, u"tw"_s, u"hk"_s, u"mo"_s}) {
            if (tags.contains(mark))
                return 7;
        }
        return 6;
    }
    return primary == u"ja" ? 8 : 0;
}

} // namespace l10n
