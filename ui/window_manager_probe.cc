// A GTK module that ui/window_manager_test loads into the built setup with
// GTK_MODULES. The labels of a dialog's buttons are drawn, not told to other
// X clients; the probe writes them onto the dialog's X window as the UTF-8
// property _TQ_TEST_BUTTONS (one label a line, in the action area's order) when
// the dialog is mapped, so that the test reads them with Xlib as it reads the
// window manager's properties. A label is written as GTK has it, with the "_"
// before its access key, so that the test sees the key too. It only reads
// widgets.
#include <gtk/gtk.h>

#include <string>

namespace {

gboolean OnMap(GSignalInvocationHint*, guint count, const GValue* values,
               gpointer) {
  if (count < 1 || !G_VALUE_HOLDS_OBJECT(&values[0])) return TRUE;
  GObject* object = G_OBJECT(g_value_get_object(&values[0]));
  if (!GTK_IS_DIALOG(object)) return TRUE;
  GtkWidget* dialog = GTK_WIDGET(object);
  GList* children = gtk_container_get_children(
      GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dialog))));
  std::string labels;
  for (GList* child = children; child != nullptr; child = child->next) {
    if (!GTK_IS_BUTTON(child->data)) continue;
    const gchar* label = gtk_button_get_label(GTK_BUTTON(child->data));
    if (!labels.empty()) labels += '\n';
    labels += label != nullptr ? label : "";
  }
  g_list_free(children);
  // "map" runs its class handler first, so the window may be viewable a
  // moment before the property is there: the test waits for it.
  gdk_property_change(
      gtk_widget_get_window(dialog), gdk_atom_intern("_TQ_TEST_BUTTONS", FALSE),
      gdk_atom_intern("UTF8_STRING", FALSE), 8, GDK_PROP_MODE_REPLACE,
      reinterpret_cast<const guchar*>(labels.data()),
      static_cast<gint>(labels.size()));
  return TRUE;
}

}  // namespace

extern "C" G_MODULE_EXPORT void gtk_module_init(gint*, gchar***) {
  // The signal exists once the widget class does.
  gpointer widget_class = g_type_class_ref(GTK_TYPE_WIDGET);
  g_signal_add_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), 0, OnMap,
                             nullptr, nullptr);
  g_type_class_unref(widget_class);
}
