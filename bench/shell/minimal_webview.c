/* The baseline: the least a GTK + WebKitGTK program does to show a localhost
 * page in a 1440 x 940 window, with autoplay allowed like the shell, and one
 * bridge channel, "folderPicker", answered by a plain folder chooser. */
#include <gtk/gtk.h>
#include <json-glib/json-glib.h>
#include <webkit2/webkit2.h>

static GtkWidget* main_window;

static void on_folder_response(GtkDialog* dialog, gint response, gpointer view) {
    if (response == GTK_RESPONSE_ACCEPT) {
        gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
        JsonBuilder* builder = json_builder_new();
        json_builder_add_string_value(builder, path);
        JsonNode* node = json_builder_get_root(builder);
        gchar* json = json_to_string(node, FALSE);
        gchar* script = g_strdup_printf("window.setThemeFolderFromNative(%s)", json);
        webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view), script, -1, NULL, NULL, NULL, NULL, NULL);
        g_free(script), g_free(json), json_node_unref(node), g_free(path);
    }
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

static void on_folder_picker(WebKitUserContentManager* manager, WebKitJavascriptResult* result,
                             gpointer view) {
    (void)manager, (void)result;
    GtkWidget* dialog = gtk_file_chooser_dialog_new("Baseline", GTK_WINDOW(main_window),
                                                    GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "Cancel",
                                                    GTK_RESPONSE_CANCEL, "Select", GTK_RESPONSE_ACCEPT, NULL);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), g_get_home_dir());
    g_signal_connect(dialog, "response", G_CALLBACK(on_folder_response), view);
    gtk_widget_show(dialog);
}

static gboolean on_delete(GtkWidget* window, GdkEvent* event, gpointer data) {
    (void)window, (void)event, (void)data;
    gtk_main_quit();
    return TRUE;
}

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc < 2) return 2;
    GtkWidget* window = main_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Baseline");
    gtk_window_set_default_size(GTK_WINDOW(window), 1440, 940);
    WebKitWebsitePolicies* policies =
        webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, NULL);
    WebKitUserContentManager* manager = webkit_user_content_manager_new();
    GtkWidget* view = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "website-policies", policies,
                                              "user-content-manager", manager, NULL));
    g_signal_connect(manager, "script-message-received::folderPicker", G_CALLBACK(on_folder_picker), view);
    webkit_user_content_manager_register_script_message_handler(manager, "folderPicker");
    gtk_container_add(GTK_CONTAINER(window), view);
    g_signal_connect(window, "delete-event", G_CALLBACK(on_delete), NULL);
    gtk_widget_show_all(window);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_main();
    return 0;
}
