// Armenian (hy) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// clang-format off
constinit const TranslatedText kTextsHy[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Հետ"},
    {"IDS_WIZARD_NEXT", "Հաջորդիվ >"},
    {"IDS_WIZARD_FINISH", "Պատրաստ է"},
    {"IDS_WIZARD_CANCEL", "Չեղարկում"},
    {"IDS_ACCEPT_CANCEL", "Դուք իսկապես ցանկանում եք չեղարկել ակտիվացումը:"},
    {"IDS_TITLE_INSTALLER", "Կոնֆիգուրացիայի ակտիվացում"},
    {"IDS_PREPARECOPY", "Նախապատրստում կրկնօրինակմանը"},
    {"IDS_INSTALL_ERROR", "Սխալ՝ տեղադրման ժամանակ"},
    {"IDS_ERROR_NOSOURCE", "tqkt.efd ակտիվացման հավաքածուի ֆայլը չի գտնվել:"},
    {"IDS_ERROR_NOTARGET", "Ակտիվացումը ձևանոմւշների ընթացիկ կատալոգում չի աջակցվում:"},
    {"IDS_ERROR_NOSPACE", "Temp կատալոգում բավարար տեղ չկա:"},
    {"IDS_CHOOSEDIR_FOLDER", "&Թղթապանակ:"},
    {"IDS_CHOOSEDIR_TITLE", "Կատալոգի ընտրություն"},
    {"IDR_MAINFRAME", "Կոնֆիգուրացիայի ակտիվացում"},
    {"IDS_SETUP_EMPTYTARGET", "Նշեք ճիշտ ուղին դեպի ձևանմուշների կատալոգին:"},
    {"IDS_INSTALL_FINISH", "Կրկնօրինակման ավարտ..."},
    {"IDS_ERROR_DAMAGEDSOURCE", "tqkt.efd ակտիվացման հավաքածուի ֆայլը հաստատվել է կամ նախատեսված չէ"},
    {"IDS_DEFPRODUCT", "<Մթերք>"},
    {"IDS_DEFPROVIDER", "<Մատակարար>"},
    {"IDS_SUCCESS_FINISH", "Կոնֆիգուրացիան հաջողությամբ ակտիվացվել է:"},
    {"IDS_SUCCESS_OPENDESCR", "Բացել տեղադրման նկարագրությունը"},
    {"IDS_PROGRESS_START", "Կատարվում է ֆայլերի կրկնօրինակում..."},
    {"IDS_ERROR_FINISH", "Ակտիվացման ժամանակ տեղի է ունեցել սխալ: Ակտիվացումը ընդհատված է:"},
    {"IDS_CANCEL_FINISH", "Ակտիվացումը չեղարկվել է: Ձևանմուշների կատալոգը չի փոփոխվել:"},
    {"IDS_BROWSE_SELDIR", "Ընտրված կատալոգ"},
    {"IDS_BROWSE_OK", "Ընտրել"},
    {"IDS_BROWSE_CANCEL", "Չեղարկում"},
    {"IDS_WELCOME_TITLE", "Բարի գալուստ մթերքի ակտիվացման ծրագիր"},
    {"IDS_SETUP_EXISTEDTARGET", "Ակտիվացման կատալոգը պարունակում է ֆայլեր, որոնք կարող են փոփոխված լինել ակտիվացման ընթացքում: Շարունակե՞լ ակտիվացումը:"},
    {"IDS_DESTINATION_PROMPT", "Նշեք ձևանմուշների կատալոգի ուղին: Ծրագիրը կակտիվացնի ձևանմուշներ և կոնֆիգուրացիայի ֆայլեր նշված կատալոգում:"},
    {"IDS_TEMPLATE_CATALOG", "Ձևանմուշների կատալոգ"},
};
// clang-format on
