// Spanish (es) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// clang-format off
constinit const TranslatedText kTextsEs[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Atrás"},
    {"IDS_WIZARD_NEXT", "Seguir >"},
    {"IDS_WIZARD_FINISH", "Listo"},
    {"IDS_WIZARD_CANCEL", "Cancelar"},
    {"IDS_ACCEPT_CANCEL", "¿Quiere cancelar la instalación?"},
    {"IDS_TITLE_INSTALLER", "Instalación de la configuración"},
    {"IDS_PREPARECOPY", "Preparando para copiar..."},
    {"IDS_INSTALL_ERROR", "Error de instalación"},
    {"IDS_ERROR_NOSOURCE", "Archivo del conjunto de la instalación tqkt.efd no encontrado."},
    {"IDS_ERROR_NOTARGET", "Instalación en el catálogo actual de modelos no se admite."},
    {"IDS_ERROR_NOSPACE", "Insuficiente espacio en el catálogo Temp."},
    {"IDS_CHOOSEDIR_FOLDER", "&Carpeta:"},
    {"IDS_CHOOSEDIR_TITLE", "Selección del catálogo"},
    {"IDR_MAINFRAME", "Instalación de la configuración"},
    {"IDS_SETUP_EMPTYTARGET", "Indique la ruta correcta al catálogo de modelos."},
    {"IDS_INSTALL_FINISH", "Finalización de copiar..."},
    {"IDS_ERROR_DAMAGEDSOURCE", "DArchivo del conjunto de la instalación tqkt.efd está dañado o no está destinado para este programa de instalación."},
    {"IDS_DEFPRODUCT", "<Producto>"},
    {"IDS_DEFPROVIDER", "<Proveedor>"},
    {"IDS_SUCCESS_FINISH", "Configuración se ha instalado con éxito."},
    {"IDS_SUCCESS_OPENDESCR", "Abrir la descripción del suministro"},
    {"IDS_PROGRESS_START", "Copia de archivos se está procesando..."},
    {"IDS_ERROR_FINISH", "En el proceso de instalación se ha producido un error. Instalación interrumpida. El catálogo de plantillas no ha sido cambiado."},
    {"IDS_CANCEL_FINISH", "Instalación cancelada. El catálogo de plantillas no ha sido cambiado."},
    {"IDS_BROWSE_SELDIR", "El catálogo seleccionado:"},
    {"IDS_BROWSE_OK", "Seleccionar"},
    {"IDS_BROWSE_CANCEL", "Cancelar"},
    {"IDS_WELCOME_TITLE", "Bienvenidos al programa de instalación del producto"},
    {"IDS_SETUP_EXISTEDTARGET", "El catálogo de instalación contiene los archivos que pueden ser cambiados durante la instalación. ¿Continuar la instalación?"},
    {"IDS_DESTINATION_PROMPT", "Indique la ruta al catálogo de plantillas. El programa de la instalación instalará las plantillas y los archivos de la configuración en el catálogo indicado."},
    {"IDS_TEMPLATE_CATALOG", "Catálogo de modelos:"},
};
// clang-format on
