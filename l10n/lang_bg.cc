// Bulgarian (bg) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// clang-format off
constinit const TranslatedText kTextsBg[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Назад"},
    {"IDS_WIZARD_NEXT", "Напред >"},
    {"IDS_WIZARD_FINISH", "Готово"},
    {"IDS_WIZARD_CANCEL", "Отказ"},
    {"IDS_ACCEPT_CANCEL", "Дейстително ли желаете да отмените инсталацията?"},
    {"IDS_TITLE_INSTALLER", "Инсталиране на конфигурация"},
    {"IDS_PREPARECOPY", "Подготовка за копиране..."},
    {"IDS_INSTALL_ERROR", "Грешка при инсталацията"},
    {"IDS_ERROR_NOSOURCE", "Файлът за инсталация tqkt.efd не е открит."},
    {"IDS_ERROR_NOTARGET", "Инсталирането в текущата директория с шаблони не се поддържа."},
    {"IDS_ERROR_NOSPACE", "Недостатъчно места в директория Temp."},
    {"IDS_CHOOSEDIR_FOLDER", "&Папка:"},
    {"IDS_CHOOSEDIR_TITLE", "Избор на директория"},
    {"IDR_MAINFRAME", "Инсталиране на конфигурация"},
    {"IDS_SETUP_EMPTYTARGET", "Задайте коректния път към каталога със шаблоните."},
    {"IDS_INSTALL_FINISH", "Завършване на копирането..."},
    {"IDS_ERROR_DAMAGEDSOURCE", "Файлът с инсталацията tqkt.efd е повреден или не е предназначен за тази програма."},
    {"IDS_DEFPRODUCT", "<Продукт>"},
    {"IDS_DEFPROVIDER", "<Доставчик>"},
    {"IDS_SUCCESS_FINISH", "Конфигурацията е успешно инсталирана."},
    {"IDS_SUCCESS_OPENDESCR", "Отвори описанието на дистрибутива"},
    {"IDS_PROGRESS_START", "Копиране на файлове..."},
    {"IDS_ERROR_FINISH", "В процеса на инсталация е станала грешка. Инсталацията е прекъсната. Каталогът с шаблоните не е променен."},
    {"IDS_CANCEL_FINISH", "Инсталацията е отменена. Каталогът с шаблоните не е променен."},
    {"IDS_BROWSE_SELDIR", "Избраната директория:"},
    {"IDS_BROWSE_OK", "Избери"},
    {"IDS_BROWSE_CANCEL", "Отказ"},
    {"IDS_WELCOME_TITLE", "Добре долшли в инсталационната програма на продукта"},
    {"IDS_SETUP_EXISTEDTARGET", "Директорията с инсталацията съдържа файлове, които могат да бъдат променени в процеса на инсталацията. Ще продължите ли с инсталацията?"},
    {"IDS_DESTINATION_PROMPT", "Задайте път към каталога с шаблоните. Инсталационната програма задава шаблони и файлове на конфигурации в указания каталог."},
    {"IDS_TEMPLATE_CATALOG", "Каталог със шаблони:"},
};
// clang-format on
