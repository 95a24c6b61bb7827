// German (de) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// clang-format off
constinit const TranslatedText kTextsDe[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Zurück"},
    {"IDS_WIZARD_NEXT", "Weiter >"},
    {"IDS_WIZARD_FINISH", "Fertig"},
    {"IDS_WIZARD_CANCEL", "Abbrechen"},
    {"IDS_ACCEPT_CANCEL", "Soll die Installation wirklich abgebrochen werden?"},
    {"IDS_TITLE_INSTALLER", "Konfiguration wird installiert"},
    {"IDS_PREPARECOPY", "Kopieren wird vorbereitet..."},
    {"IDS_INSTALL_ERROR", "Installationsfehler"},
    {"IDS_ERROR_NOSOURCE", "Installationsdatei tqkt.efd wurde nicht gefunden."},
    {"IDS_ERROR_NOTARGET", "Installation von Vorlagen in das aktuelle Verzeichnis wird nicht unterstützt."},
    {"IDS_ERROR_NOSPACE", "Nicht genügend Speicherplatz im Verzeichnis Temp."},
    {"IDS_CHOOSEDIR_FOLDER", "&Ordner:"},
    {"IDS_CHOOSEDIR_TITLE", "Verzeichnis auswählen"},
    {"IDR_MAINFRAME", "Konfiguration wird installiert"},
    {"IDS_SETUP_EMPTYTARGET", "Geben Sie den richtigen Pfad zum Vorlagenverzeichnis an."},
    {"IDS_INSTALL_FINISH", "Kopieren fertig gestellt..."},
    {"IDS_ERROR_DAMAGEDSOURCE", "Die Installationsdatei tqkt.efd ist beschädigt oder für dieses Installationsprogramm nicht vorgesehen."},
    {"IDS_DEFPRODUCT", "<Produkt>"},
    {"IDS_DEFPROVIDER", "<Lieferant>"},
    {"IDS_SUCCESS_FINISH", "Konfiguration erfolgreich installiert."},
    {"IDS_SUCCESS_OPENDESCR", "Beschreibung des Verteilungskits öffnen"},
    {"IDS_PROGRESS_START", "Dateien werden kopiert..."},
    {"IDS_ERROR_FINISH", "Während der Installation ist ein Fehler aufgetreten. Installation beendet. Vorlagenverzeichnis wurde nicht geändert."},
    {"IDS_CANCEL_FINISH", "Installation abgebrochen. Vorlagenverzeichnis wurde nicht geändert."},
    {"IDS_BROWSE_SELDIR", "Verzeichnis ausgewählt:"},
    {"IDS_BROWSE_OK", "Auswählen"},
    {"IDS_BROWSE_CANCEL", "Abbrechen"},
    {"IDS_WELCOME_TITLE", "Willkommen beim Installationsprogramm des Produkts"},
    {"IDS_SETUP_EXISTEDTARGET", "Das Installationsverzeichnis enthält Dateien, die während des Installationsprozesses möglicherweise geändert werden. Möchten Sie fortfahren?"},
    {"IDS_DESTINATION_PROMPT", "Geben Sie den Pfad zum Vorlagenverzeichnis an. Das Installationsprogramm installiert Vorlagen und Konfigurationsdateien in das angegebene Verzeichnis."},
    {"IDS_TEMPLATE_CATALOG", "Vorlagenverzeichnis:"},
};
// clang-format on
