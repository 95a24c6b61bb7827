// Vietnamese (vi) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// clang-format off
constinit const TranslatedText kTextsVi[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Quay lại"},
    {"IDS_WIZARD_NEXT", "Tiếp theo >"},
    {"IDS_WIZARD_FINISH", "Đồng ý"},
    {"IDS_WIZARD_CANCEL", "Hủy bỏ"},
    {"IDS_ACCEPT_CANCEL", "Bạn có thực sự muốn huỷ bỏ việc cài đặt?"},
    {"IDS_TITLE_INSTALLER", "Cài đặt cấu hình"},
    {"IDS_PREPARECOPY", "Chuẩn bị để sao chép..."},
    {"IDS_INSTALL_ERROR", "Lỗi khi cài đặt"},
    {"IDS_ERROR_NOSOURCE", "Không tìm thấy tệp của bộ cài đặt tqkt.efd."},
    {"IDS_ERROR_NOTARGET", "Không hỗ trợ việc cài đặt vào thư mục khuôn mẫu hiện tại."},
    {"IDS_ERROR_NOSPACE", "Không đủ chỗ trong thư mục Temp."},
    {"IDS_CHOOSEDIR_FOLDER", "&Thư mục:"},
    {"IDS_CHOOSEDIR_TITLE", "Chọn thư mục"},
    {"IDR_MAINFRAME", "Cài đặt cấu hình"},
    {"IDS_SETUP_EMPTYTARGET", "Hãy chỉ ra đường dẫn chính xác đến thư mục các khuôn mẫu."},
    {"IDS_INSTALL_FINISH", "Kết thúc việc sao chép..."},
    {"IDS_ERROR_DAMAGEDSOURCE", "Tệp của bộ cài đặt tqkt.efd bị hỏng hoặc được dành để cho chương trình cài đặt này."},
    {"IDS_DEFPRODUCT", "<Sản phẩm>"},
    {"IDS_DEFPROVIDER", "<Nhà cung cấp>"},
    {"IDS_SUCCESS_FINISH", "Cấu hình đã được cài đặt thành công."},
    {"IDS_SUCCESS_OPENDESCR", "Mở bản mô tả bộ cài đặt chính"},
    {"IDS_PROGRESS_START", "Đang tiến hành sao chép các tệp..."},
    {"IDS_ERROR_FINISH", "Xảy ra lỗi trong quá trình cài đặt. Việc cài đặt đã bị ngừng lại. Thư mục các khuôn mẫu không thay đổi."},
    {"IDS_CANCEL_FINISH", "Hủy bỏ việc cài đặt. Thư mục khuôn mẫu không thay đổi."},
    {"IDS_BROWSE_SELDIR", "Thư mục được chọn:"},
    {"IDS_BROWSE_OK", "Chọn"},
    {"IDS_BROWSE_CANCEL", "Hủy bỏ"},
    {"IDS_WELCOME_TITLE", "Chào mừng Bạn đến với chương trình cài đặt sản phẩm"},
    {"IDS_SETUP_EXISTEDTARGET", "Thư mục cài đặt có chứa các tệp mà có thể bị thay đổi trong quá trình cài đặt. Tiếp tục việc cài đặt?"},
    {"IDS_DESTINATION_PROMPT", "Hãy chỉ ra đường dẫn tới thư mục các khuôn mẫu. Chương trình cài đặt sẽ đặt các khuôn mẫu và tệp cấu hình vào thư mục được chỉ ra."},
    {"IDS_TEMPLATE_CATALOG", "Thư mục các khuôn mẫu:"},
};
// clang-format on
