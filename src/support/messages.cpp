#include "support/messages.h"

#include "support/cstr.h"

// clang-format off
MessageTable MSG_UNKNOWN_INF_TYPE = {
    L"Unknown INF file type -- installation will not continue.",
    L"Type de fichier INF inconnu -- installation interrompue",
    L"Unknown INF file type -- installation will not continue.",
    L"Unbekannter INF-Dateityp -- die Installation wird nicht fortgesetzt",
    L"Tipo de archivo INF desconocido. La instalación no continuará.",
    L"不明なINFファイル タイプです -- インストールを続行できません",
};

MessageTable MSG_OS_NOT_SUPPORTED = {
    L"The OS is not supported.\r\n",
    L"Le système d'exploitation n'est pas pris en charge\r\n",
    L"The OS is not supported.\r\n",
    L"Das Betriebssystem wird nicht unterstützt\r\n",
    L"El sistema operativo no es compatible.\r\n",
    L"このOSはサポートされていません。\r\n",
};

MessageTable MSG_NOT_ENOUGH_DISK_SPACE = {
    L"There is not enough disk space to install this component.\r\n",
    L"Espace disque insuffisant pour l'installation du composant.\r\n",
    L"There is not enough disk space to install this component.\r\n",
    L"Für die Installation dieser Komponente steht nicht genügend freier Festplattenspeicherplatz zur Verfügung.\r\n",
    L"No dispone de suficiente espacio en el disco para instalar este componente.\r\n",
    L"このコンポーネントをインストールするために必要なディスク容量がありません。\r\n",
};

MessageTable MSG_MARKED_FOR_REMOVAL = {
    L"The component is marked for removal upon the next reboot.  Install can not continue.\r\n",
    L"Le composant sera supprimé au prochain démarrage.  L'installation ne peut pas continuer.\r\n",
    L"The component is marked for removal upon the next reboot.  Install can not continue.\r\n",
    L"Die markierte Komponente wird beim nächsten Neustart des Systems entfernt.  Die Installation kann nicht fortgesetzt werden.\r\n",
    L"El componente está marcado para eliminarlo la próxima vez que reinicie.  La instalación no puede continuar.\r\n",
    L"このコンポーネントは次回のリブート時に削除されるようにマークされています。インストールを続行できません。\r\n",
};

MessageTable MSG_NO_SUPPORTED_DEVICES = {
    L"No supported devices were specified.",
    L"Aucun périphérique pris en charge n'a été spécifié",
    L"No supported devices were specified.",
    L"Es wurden keine unterstützten Treiber angegeben",
    L"No se especificó ningún dispositivo compatible.",
    L"サポートされているデバイスが指定されていません。",
};

MessageTable MSG_INSTALL_ERROR = {
    L"An error occurred during installation.",
    L"Erreur lors de l'installation",
    L"An error occurred during installation.",
    L"Während der Installation ist ein Fehler aufgetreten",
    L"Se produjo un error durante la instalación.",
    L"インストール中にエラーが発生しました。",
};

MessageTable MSG_NO_DEVICES_FOUND = {
    L"No devices were found to install.",
    L"Pas de périphérique à installer",
    L"No devices were found to install.",
    L"Es wurden keine zu installierenden Geräte gefunden",
    L"No se encontró ningún dispositivo para instalar.",
    L"インストールするデバイスが見つかりませんでした。",
};

MessageTable MSG_DEVICE_INSTALL_FAILED = {
    L"Installation failed on at least one device.  One of the devices may have been deleted through Device Manager and a reboot may be necessary to complete the driver installation for this device.",
    L"L'installation a échoué sur un périphérique au moins. Il se peut que l'un des périphériques ait été supprimé via le Gestionnaire de périphériques et qu'un réamorçage soit nécessaire pour achever l'installation du pilote de ce périphérique.",
    L"Installazione non riuscita su almeno un dispositivo. Uno dei dispositivi potrebbe essere stato eliminato da Gestione periferiche e potrebbe essere necessario riavviare il computer per completare l'installazione del driver per questo dispositivo.",
    L"Die Installation auf mindestens einem Gerät ist fehlgeschlagen. Vielleicht wurde ein Gerät im Geräte-Manager gelöscht, und der Computer muß zur vollständigen Installation des Treibers für dieses Gerät neu gestartet werden.",
    L"La instalación ha fallado en un dispositivo como mínimo.  Quizá uno de los dispositivos se ha eliminado mediante el Administrador de dispositivos y es necesario volver a arrancar para finalizar la instalación del controlador de este dispositivo.",
    L"1つ以上のデバイスでインストールが失敗しました。デバイスのうちの1つがデバイス マネージャによって削除された可能性があり、このデバイスのドライバのインストールを完了するには、再起動が必要な場合があります。",
};

MessageTable MSG_SHELLEXECUTE_FAILED = {
    L"An error occurred during the ShellExecute command.",
    L"An error occurred during the ShellExecute command.",
    L"An error occurred during the ShellExecute command.",
    L"An error occurred during the ShellExecute command.",
    L"An error occurred during the ShellExecute command.",
    L"An error occurred during the ShellExecute command.",
};
// clang-format on

const WCHAR *const kLanguageCodes[kLanguageCount] = {L"fr", L"it", L"de", L"es", L"ja"};

int LanguageIndex(const WCHAR *languageCode) {
  if (!languageCode) return 0;
  CStr code(languageCode);
  for (int i = 0; i < kLanguageCount; ++i)
    if (code.CompareNoCase(kLanguageCodes[i]) == 0) return i + 1;
  return 0;
}

const WCHAR *LookupMessage(MessageTable &table, const WCHAR *languageCode) {
  return table[LanguageIndex(languageCode)];
}

const WCHAR *LookupMessageWithFallback(MessageTable &table, const WCHAR *languageCode) {
  if (LanguageIndex(languageCode) == 5 && table[5] && *table[5]) return table[5];
  return table[0];
}
