// Romanian (ro) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// clang-format off
constinit const TranslatedText kTextsRo[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Înapoi"},
    {"IDS_WIZARD_NEXT", "Înainte >"},
    {"IDS_WIZARD_FINISH", "Finalizare"},
    {"IDS_WIZARD_CANCEL", "Revocare"},
    {"IDS_ACCEPT_CANCEL", "Doriţi să anulaţi instalarea?"},
    {"IDS_TITLE_INSTALLER", "Instalarea configuraţiei"},
    {"IDS_PREPARECOPY", "Pregătire pentru copiere..."},
    {"IDS_INSTALL_ERROR", "Eroare la instalare"},
    {"IDS_ERROR_NOSOURCE", "Fişierul kit-ului de instalare tqkt.efd nu a fost găsit."},
    {"IDS_ERROR_NOTARGET", "Instalarea în catalogul de şabloane curent nu este posibilă."},
    {"IDS_ERROR_NOSPACE", "Spațiu insuficient în folderul Temp."},
    {"IDS_CHOOSEDIR_FOLDER", "&Mapă:"},
    {"IDS_CHOOSEDIR_TITLE", "Selectarea catalogului"},
    {"IDR_MAINFRAME", "Instalarea configuraţiei"},
    {"IDS_SETUP_EMPTYTARGET", "Indicaţi calea către catalogul de şabloane."},
    {"IDS_INSTALL_FINISH", "Finalizarea copierii..."},
    {"IDS_ERROR_DAMAGEDSOURCE", "Fişierul kit-ului de instalare tqkt.efd este defect sau nu este destinat acestui program de instalare."},
    {"IDS_DEFPRODUCT", "<Produs>"},
    {"IDS_DEFPROVIDER", "<Furnizor>"},
    {"IDS_SUCCESS_FINISH", "Configuraţia a fost instalată cu succes."},
    {"IDS_SUCCESS_OPENDESCR", "Deschiderea descrierii distribuţiei"},
    {"IDS_PROGRESS_START", "Se execută copierea fişierelor..."},
    {"IDS_ERROR_FINISH", "Eroare în timpul procesului de instalare. Instalarea a fost întreruptă. Catalogul de şabloane nu a fost modificat."},
    {"IDS_CANCEL_FINISH", "Procesul de instalare a fost anulat. Catalogul de şabloane nu a fost modificat."},
    {"IDS_BROWSE_SELDIR", "Catalogul selectat:"},
    {"IDS_BROWSE_OK", "Selectare"},
    {"IDS_BROWSE_CANCEL", "Revocare"},
    {"IDS_WELCOME_TITLE", "Bine aţi venit în programul de instalare a produsului"},
    {"IDS_SETUP_EXISTEDTARGET", "Catalogul de instalare poate conţine fişiere, care pot fi modificate în procesul instalării. Doriţi să continuaţi instalarea?"},
    {"IDS_DESTINATION_PROMPT", "Indicaţi calea către catalogul de şabloane. Programul va instala şabloanele şi fişierele configuraţiei în catalogul indicat."},
    {"IDS_TEMPLATE_CATALOG", "Catalogul şabloanelor:"},
};
// clang-format on
