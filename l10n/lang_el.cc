// Greek (el) texts of the installer's user interface, as UTF-8.
// Data only: the string table builds its lookup map from this array.

#include "l10n/translations.h"

// The progress text holds a no-break space (U+00A0) between "σε" and
// "εξέλιξη"; it is meant, keep it.
// clang-format off
constinit const TranslatedText kTextsEl[kTranslatedKeyCount] = {
    {"IDS_WIZARD_BACK", "< Πίσω"},
    {"IDS_WIZARD_NEXT", "Συνέχεια >"},
    {"IDS_WIZARD_FINISH", "Έτοιμο"},
    {"IDS_WIZARD_CANCEL", "Ακύρωση"},
    {"IDS_ACCEPT_CANCEL", "Είστε βέβαιοι ότι θέλετε να ακυρώσετε την εγκατάσταση?"},
    {"IDS_TITLE_INSTALLER", "Εγκατάσταση διαμόρφωσης"},
    {"IDS_PREPARECOPY", "Προετοιμασία για αντιγραφή..."},
    {"IDS_INSTALL_ERROR", "Σφάλμα κατά την εγκατάσταση"},
    {"IDS_ERROR_NOSOURCE", "Το αρχείο πακέτου εγκατάστασης tqkt.efd δεν βρέθηκε."},
    {"IDS_ERROR_NOTARGET", "Η εγκατάσταση στον τρέχοντα κατάλογο προτύπων δεν υποστηρίζεται."},
    {"IDS_ERROR_NOSPACE", "Έλλειψη χώρου στο κατάλογο Temp."},
    {"IDS_CHOOSEDIR_FOLDER", "&Φάκελος:"},
    {"IDS_CHOOSEDIR_TITLE", "Επιλογή καταλόγου"},
    {"IDR_MAINFRAME", "Εγκατάσταση διαμόρφωσης"},
    {"IDS_SETUP_EMPTYTARGET", "Καθορίστε την έγκυρη διαδρομή στον κατάλογο προτύπων."},
    {"IDS_INSTALL_FINISH", "Ολοκλήρωση αντιγραφής..."},
    {"IDS_ERROR_DAMAGEDSOURCE", "Το αρχείο πακέτου εγκατάσταση tqkt.efd έχει καταστραφεί ή δεν προορίζεται για αυτό το πρόγραμμα εγκατάστασης."},
    {"IDS_DEFPRODUCT", "<Προϊόν>"},
    {"IDS_DEFPROVIDER", "<Προμηθευτής>"},
    {"IDS_SUCCESS_FINISH", "Η διαμόρφωση έχει εγκατασταθεί με επιτυχία."},
    {"IDS_SUCCESS_OPENDESCR", "Άνοιγμα περιγραφής της παράδοσης"},
    {"IDS_PROGRESS_START", "Η αντιγραφή αρχείων βρίσκεται σε εξέλιξη..."},
    {"IDS_ERROR_FINISH", "Κατά την διαδικασία εγκατάστασης παρουσιάστηκε σφάλμα. Η εγκατάσταση διακόπηκε. Ο Κατάλογος των τύπων δεν έχει αλλάξει."},
    {"IDS_CANCEL_FINISH", "Η εγκατάσταση ακυρώθηκε Ο Κατάλογος των τύπων δεν έχει αλλάξει."},
    {"IDS_BROWSE_SELDIR", "Επιλεγμένος κατάλογος:"},
    {"IDS_BROWSE_OK", "Επιλογή"},
    {"IDS_BROWSE_CANCEL", "Ακύρωση"},
    {"IDS_WELCOME_TITLE", "Καλώς ορίσατε στο πρόγραμμα εγκατάστασης προϊόντος"},
    {"IDS_SETUP_EXISTEDTARGET", "Ο κατάλογος εγκατάστασης περιέχει τα αρχεία που μπορούν να τροποποιηθούν κατά τη διάρκεια της διαδικασίας εγκατάστασης. Θέλετε να συνεχίσετε την εγκατάσταση;"},
    {"IDS_DESTINATION_PROMPT", "Καθορίστε την διαδρομή στον κατάλογο των προτύπων. Το πρόγραμμα εγκατάστασης θα εγκαταστήσει τους τύπους και τα αρχεία διαμόρφωσης στον καθορισμένο κατάλογο."},
    {"IDS_TEMPLATE_CATALOG", "Κατάλογος των τύπων:"},
    {"IDS_REASON_LINK_OUTSIDE", "σύνδεσμος που οδηγεί έξω από τον κατάλογο προτύπων"},
    {"IDS_REASON_NAME_ENCODING", "το όνομα δεν μπορεί να γραφτεί στην κωδικοποίηση ονομάτων αρχείων αυτού του συστήματος"},
    {"IDS_REASON_NAME_TWICE", "το πακέτο εγκατάστασης περιέχει αυτό το αρχείο δύο φορές"},
    {"IDS_REASON_NAME_INVALID", "μη έγκυρο όνομα αρχείου"},
    {"IDS_REASON_NOT_A_FILE", "εμποδίζει: δεν είναι κανονικό αρχείο"},
    {"IDS_WAIT_OTHER_INSTALL", "Αναμονή για την ολοκλήρωση άλλης εγκατάστασης σε αυτόν τον κατάλογο..."},
    {"IDS_NOTE_DEFAULT_TARGET", "Κανένας από τους καταλόγους προτύπων που γνωρίζει το πρόγραμμα εκκίνησης δεν μπορεί να χρησιμοποιηθεί· στη θέση τους χρησιμοποιείται ο προεπιλεγμένος κατάλογος."},
    {"IDS_WARN_CONFIG_NOT_SAVED", "Τα πρότυπα εγκαταστάθηκαν, αλλά δεν ήταν δυνατό να ενημερωθεί η διαμόρφωση του προγράμματος εκκίνησης."},
    {"IDS_ERROR_TARGET_NOT_WRITABLE", "Δεν μπορείτε να γράψετε σε αυτόν τον κατάλογο. Επιλέξτε άλλον κατάλογο προτύπων."},
    {"IDS_BUTTON_YES", "Ναι"},
    {"IDS_BUTTON_NO", "Όχι"},
    {"IDS_BUTTON_OK", "OK"},
    {"IDS_ERROR_CHECKSUM_UNUSABLE", "Το αρχείο αθροίσματος ελέγχου του πακέτου εγκατάστασης tqkt.efd δεν μπορεί να χρησιμοποιηθεί, επομένως το πακέτο δεν μπορεί να ελεγχθεί."},
    {"IDS_REASON_CHECKSUM_NOT_FILE", "δεν είναι κανονικό αρχείο στον κατάλογο του πακέτου"},
    {"IDS_REASON_CHECKSUM_FORMAT", "δεν είναι άθροισμα ελέγχου SHA-256 αυτού του πακέτου στη μορφή του sha256sum"},
};
// clang-format on
