// Latvian (lv) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// clang-format off
constinit const TranslatedText kTextsLv[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Atpakaļ"},
    {"IDS_WIZARD_NEXT", "Tālāk >"},
    {"IDS_WIZARD_FINISH", "Gatavs"},
    {"IDS_WIZARD_CANCEL", "Atcelt"},
    {"IDS_ACCEPT_CANCEL", "Jūs tiešām vēlaties atcelt instalāciju?"},
    {"IDS_TITLE_INSTALLER", "Konfigurācijas uzstādīšana"},
    {"IDS_PREPARECOPY", "Gatvošanās kopēšanai..."},
    {"IDS_INSTALL_ERROR", "Kļūda instalējot"},
    {"IDS_ERROR_NOSOURCE", "Nav atrasts instalēšanas komplekta fails tqkt.efd."},
    {"IDS_ERROR_NOTARGET", "Šablonu uzstādīšana pašreizējā katalogā netiek atbalstīta."},
    {"IDS_ERROR_NOSPACE", "Nepietiek vietas katalogā Temp."},
    {"IDS_CHOOSEDIR_FOLDER", "&Mape:"},
    {"IDS_CHOOSEDIR_TITLE", "Kataloga izvēlne"},
    {"IDR_MAINFRAME", "Konfigurācijas uzstādīšana"},
    {"IDS_SETUP_EMPTYTARGET", "Norādiet korektu ceļu uz šablonu katalogu."},
    {"IDS_INSTALL_FINISH", "Kopēšanas beigas..."},
    {"IDS_ERROR_DAMAGEDSOURCE", "Instalēšanas komplekta fails tqkt.efd bojāts vai nav paredzēts šai instalācijas programmai."},
    {"IDS_DEFPRODUCT", "<Produkts>"},
    {"IDS_DEFPROVIDER", "<Piegādātājs>"},
    {"IDS_SUCCESS_FINISH", "Konfigurācija veiksmīgi uzstādīta."},
    {"IDS_SUCCESS_OPENDESCR", "Atvērt piegādes aprakstu"},
    {"IDS_PROGRESS_START", "Notiek failu kopēšana..."},
    {"IDS_ERROR_FINISH", "Instalācijas procesā notikusi kļūda. Instalācija pārtraukta. Šablonu katalogs nav mainīts."},
    {"IDS_CANCEL_FINISH", "Instalācija atcelta. Šablonu katalogs nav mainīts."},
    {"IDS_BROWSE_SELDIR", "Izvēlētais katalogs"},
    {"IDS_BROWSE_OK", "Izvēlēties"},
    {"IDS_BROWSE_CANCEL", "Atcelt"},
    {"IDS_WELCOME_TITLE", "Laipni lūdzam produkta instalācijas programmā"},
    {"IDS_SETUP_EXISTEDTARGET", "Instalācijas katalogs satur failus, kuri var būt mainīti instalācijas procesā. Turpināt instalāciju?"},
    {"IDS_DESTINATION_PROMPT", "Norādiet ceļu uz šablonu katalogu. Instalācijas programma ievietos šablonus un failu konfigurācijas norādītajā katalogā."},
    {"IDS_TEMPLATE_CATALOG", "Šablonu katalogs:"},
};
// clang-format on
