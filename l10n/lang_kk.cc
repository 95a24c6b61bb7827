// Kazakh (kk) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// The two texts that name the kit file begin with a space; kept as written.
// clang-format off
constinit const TranslatedText kTextsKk[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Артқа"},
    {"IDS_WIZARD_NEXT", "Әрі қарай >"},
    {"IDS_WIZARD_FINISH", "Дайын"},
    {"IDS_WIZARD_CANCEL", "Доғар"},
    {"IDS_ACCEPT_CANCEL", "Сіз орнатуды шынымен алып тастағыңыз келе ме?"},
    {"IDS_TITLE_INSTALLER", "Конфигурацияны орнату"},
    {"IDS_PREPARECOPY", "Көшіруге дайындық..."},
    {"IDS_INSTALL_ERROR", "Инсталляциялау кезіндегі қате"},
    {"IDS_ERROR_NOSOURCE", " tqkt.efd орнату файлы жинағы табылған жоқ."},
    {"IDS_ERROR_NOTARGET", "Үлгінің ағымдағы каталогына орнату қолдау таппады."},
    {"IDS_ERROR_NOSPACE", "Temp тізбегінде орын жеткіліксіз."},
    {"IDS_CHOOSEDIR_FOLDER", "&Папка:"},
    {"IDS_CHOOSEDIR_TITLE", "Каталогты таңдау"},
    {"IDR_MAINFRAME", "Конфигурацияны орнату"},
    {"IDS_SETUP_EMPTYTARGET", "Үлгілер каталогына дұрыс жолды көрсетіңіз."},
    {"IDS_INSTALL_FINISH", "Көшіруді аяқтау..."},
    {"IDS_ERROR_DAMAGEDSOURCE", " tqkt.efd орнату файлы бүлінген немесе орнатудың осы программасы арналмаған."},
    {"IDS_DEFPRODUCT", "<Өнім>"},
    {"IDS_DEFPROVIDER", "<Жабдықтаушы>"},
    {"IDS_SUCCESS_FINISH", "Конфигурация сәтті орнатылды."},
    {"IDS_SUCCESS_OPENDESCR", "Жабдықтау баяндамасын ашу"},
    {"IDS_PROGRESS_START", "Файлдарды көшіру жүріп жатыр..."},
    {"IDS_ERROR_FINISH", "Орнату кезінде қате кетті. Орнату үзілді. Үлгілер каталогы өзгеріссіз қалды."},
    {"IDS_CANCEL_FINISH", "Орнату алынып тасталды.Үлгілер каталогы өзгермеген."},
    {"IDS_BROWSE_SELDIR", "Таңдалған каталог:"},
    {"IDS_BROWSE_OK", "Таңдау"},
    {"IDS_BROWSE_CANCEL", "Доғар"},
    {"IDS_WELCOME_TITLE", "Өнімді орнату программасына қош келдіңіз"},
    {"IDS_SETUP_EXISTEDTARGET", "Орнату каталогы орнату процесінде өзгеруі мүмкін файлдарды қамтиды. Орнатуды жалғастыру керек пе?"},
    {"IDS_DESTINATION_PROMPT", "Үлгілер каталогына жолды көрсетіңіз..Орнату программасы көрсетілген каталогқа конфигурация үлгісі мен файлдарын орнатады."},
    {"IDS_TEMPLATE_CATALOG", "Үлгілер каталогы:"},
    {"IDS_REASON_LINK_OUTSIDE", "үлгілер каталогынан тыс жерге апаратын сілтеме"},
    {"IDS_REASON_NAME_ENCODING", "атауды осы жүйенің файл атауларының кодтауында жазу мүмкін емес"},
    {"IDS_REASON_NAME_TWICE", "орнату жинағында бұл файл екі рет бар"},
    {"IDS_REASON_NAME_INVALID", "жарамсыз файл атауы"},
    {"IDS_REASON_NOT_A_FILE", "кедергі: бұл кәдімгі файл емес"},
    {"IDS_WAIT_OTHER_INSTALL", "Осы каталогқа басқа орнатудың аяқталуын күту..."},
    {"IDS_NOTE_DEFAULT_TARGET", "Іске қосу программасына белгілі үлгілер каталогтарының ешқайсысын пайдалану мүмкін емес; олардың орнына әдепкі каталог пайдаланылады."},
    {"IDS_WARN_CONFIG_NOT_SAVED", "Үлгілер орнатылды, бірақ іске қосу программасының конфигурациясын жаңарту мүмкін болмады."},
    {"IDS_ERROR_TARGET_NOT_WRITABLE", "Бұл каталогқа жазуға құқығыңыз жоқ. Үлгілердің басқа каталогын таңдаңыз."},
    {"IDS_BUTTON_YES", "Иә"},
    {"IDS_BUTTON_NO", "Жоқ"},
    {"IDS_BUTTON_OK", "ОК"},
};
// clang-format on
