// File choosers and message dialogs. Sheets are window-modal and answer
// through their response signal; only the error alert runs its own loop.
#include <algorithm>
#include <cctype>

#include "platform/gtk/gtk_platform.h"
#include "platform/path_names.h"

namespace jaunvel::gtk {
namespace {

constexpr gint kFirstButton = 1000;

bool hasAllowedExtension(const std::string& path, const std::vector<std::string>& types) {
    if (types.empty()) return true;
    const std::string name = lastPathComponent(path);
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos) return false;
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(types.begin(), types.end(), extension) != types.end();
}

// Shows only folders and files of the allowed types, whatever the case of
// their extension.
void addTypeFilter(GtkFileChooser* chooser, const std::vector<std::string>& types) {
    if (types.empty()) return;
    GtkFileFilter* filter = gtk_file_filter_new();
    std::string name;
    for (const auto& type : types) name += (name.empty() ? "" : ", ") + std::string("*.") + type;
    gtk_file_filter_set_name(filter, name.c_str());
    gtk_file_filter_add_custom(
        filter, GTK_FILE_FILTER_FILENAME,
        [](const GtkFileFilterInfo* info, gpointer data) -> gboolean {
            if (!info->filename) return FALSE;
            if (g_file_test(info->filename, G_FILE_TEST_IS_DIR)) return TRUE;
            return hasAllowedExtension(info->filename, *static_cast<std::vector<std::string>*>(data));
        },
        new std::vector<std::string>(types),
        [](gpointer data) { delete static_cast<std::vector<std::string>*>(data); });
    gtk_file_chooser_add_filter(chooser, filter);  // takes the floating reference
}

void addMessageLine(GtkDialog* dialog, const std::string& message) {
    if (message.empty()) return;
    GtkWidget* label = gtk_label_new(message.c_str());
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_widget_set_margin_top(label, 8);
    gtk_widget_set_margin_bottom(label, 8);
    GtkWidget* area = gtk_dialog_get_content_area(dialog);
    gtk_box_pack_start(GTK_BOX(area), label, FALSE, FALSE, 0);
    gtk_box_reorder_child(GTK_BOX(area), label, 0);
    gtk_widget_show(label);
}

struct ChooserTexts {
    const std::string& title;
    const std::string& prompt;
    const std::string& cancelTitle;
    const std::string& message;
};

GtkWidget* newChooser(GtkWindow* parent, GtkFileChooserAction action, const ChooserTexts& texts,
                      const std::vector<std::string>& types) {
    GtkWidget* dialog =
        gtk_file_chooser_dialog_new(texts.title.c_str(), parent, action, texts.cancelTitle.c_str(),
                                    GTK_RESPONSE_CANCEL, texts.prompt.c_str(), GTK_RESPONSE_ACCEPT, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_local_only(chooser, TRUE);
    gtk_file_chooser_set_current_folder(chooser, g_get_home_dir());
    addMessageLine(GTK_DIALOG(dialog), texts.message);
    addTypeFilter(chooser, types);
    return dialog;
}

template <class State>
void connectResponse(GtkWidget* dialog, void (*handler)(GtkDialog*, gint, gpointer), State* state) {
    g_signal_connect_data(
        dialog, "response", G_CALLBACK(handler), state,
        [](gpointer data, GClosure*) { delete static_cast<State*>(data); }, GConnectFlags(0));
}

struct OpenState {
    OpenPanelCompletion completion;
    std::vector<std::string> types;
};

void onOpenResponse(GtkDialog* dialog, gint response, gpointer data) {
    auto& state = *static_cast<OpenState*>(data);
    std::vector<std::string> paths;
    if (response == GTK_RESPONSE_ACCEPT) {
        GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
        for (GSList* item = files; item; item = item->next) {
            paths.emplace_back(static_cast<char*>(item->data));
            g_free(item->data);
        }
        g_slist_free(files);
        // A typed name passes GTK's filter: refuse it here and stay open.
        for (const auto& path : paths) {
            if (!g_file_test(path.c_str(), G_FILE_TEST_IS_DIR) && !hasAllowedExtension(path, state.types))
                return;
        }
    }
    auto completion = std::move(state.completion);
    gtk_widget_destroy(GTK_WIDGET(dialog));
    guarded([&] { completion(response == GTK_RESPONSE_ACCEPT ? 1 : 0, std::move(paths)); });
}

struct SaveState {
    SavePanelCompletion completion;
    std::vector<std::string> types;
    std::string title;
    ReplaceQuestion question;
};

void finishSave(GtkWidget* chooser, SaveState& state, std::optional<std::string> path) {
    auto completion = std::move(state.completion);
    gtk_widget_destroy(chooser);
    guarded([&] { completion(path ? 1 : 0, std::move(path)); });
}

struct OverwriteState {
    GtkWidget* chooser;
    SaveState* save;
    std::string path;
};

void onOverwriteResponse(GtkDialog* question, gint response, gpointer data) {
    auto& state = *static_cast<OverwriteState*>(data);
    GtkWidget* chooser = state.chooser;
    SaveState* save = state.save;
    const std::string path = state.path;
    gtk_widget_destroy(GTK_WIDGET(question));
    if (response == GTK_RESPONSE_ACCEPT) finishSave(chooser, *save, path);
}

void onSaveResponse(GtkDialog* dialog, gint response, gpointer data) {
    auto& state = *static_cast<SaveState*>(data);
    if (response != GTK_RESPONSE_ACCEPT) return finishSave(GTK_WIDGET(dialog), state, std::nullopt);
    g_str_ptr chosen(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog)));
    if (!chosen) return finishSave(GTK_WIDGET(dialog), state, std::nullopt);
    std::string path(chosen.get());
    // A name confirmed without the extension gets one.
    if (!state.types.empty() && !hasAllowedExtension(path, state.types)) path += "." + state.types.front();
    if (!g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) return finishSave(GTK_WIDGET(dialog), state, path);

    // A file already there is not replaced without asking.
    g_str_ptr name(g_filename_display_basename(path.c_str()));
    const auto& texts = state.question;
    const std::string message = texts.messageBeforeName + name.get() + texts.messageAfterName;
    GtkWidget* question = gtk_message_dialog_new(
        GTK_WINDOW(dialog), GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", message.c_str());
    if (!texts.informativeText.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(question), "%s",
                                                 texts.informativeText.c_str());
    }
    gtk_window_set_title(GTK_WINDOW(question), state.title.c_str());
    gtk_dialog_add_buttons(GTK_DIALOG(question), texts.cancelTitle.c_str(), GTK_RESPONSE_CANCEL,
                           texts.replaceTitle.c_str(), GTK_RESPONSE_ACCEPT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(question), GTK_RESPONSE_ACCEPT);
    connectResponse(question, onOverwriteResponse, new OverwriteState{GTK_WIDGET(dialog), &state, path});
    gtk_widget_show(question);
}

GtkMessageType messageType(AlertStyle style) {
    switch (style) {
        case AlertStyle::critical:
            return GTK_MESSAGE_ERROR;
        case AlertStyle::warning:
            return GTK_MESSAGE_OTHER;
    }
    return GTK_MESSAGE_OTHER;
}

struct AlertState {
    AlertCompletion completion;
    GtkWidget* entry;
};

GtkWidget* newMessageDialog(GtkWindow* parent, const AlertOptions& options, GtkWidget** entry) {
    GtkWidget* dialog = gtk_message_dialog_new(
        parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), messageType(options.style),
        GTK_BUTTONS_NONE, "%s", options.messageText.c_str());
    if (!options.informativeText.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                                 options.informativeText.c_str());
    }
    gtk_window_set_title(GTK_WINDOW(dialog), options.title.c_str());
    if (options.accessoryTextField) {
        *entry = gtk_entry_new();
        gtk_entry_set_text(GTK_ENTRY(*entry), options.accessoryTextField->stringValue.c_str());
        gtk_entry_set_activates_default(GTK_ENTRY(*entry), TRUE);
        gtk_widget_set_size_request(*entry, static_cast<int>(options.accessoryTextField->frame.width),
                                    static_cast<int>(options.accessoryTextField->frame.height));
        GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
        gtk_box_pack_start(GTK_BOX(area), *entry, FALSE, FALSE, 0);
        gtk_widget_show(*entry);
    }
    for (std::size_t i = 0; i < options.buttons.size(); ++i) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), options.buttons[i].c_str(),
                              kFirstButton + static_cast<gint>(i));
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kFirstButton);
    return dialog;
}

void onAlertResponse(GtkDialog* dialog, gint response, gpointer data) {
    auto& state = *static_cast<AlertState*>(data);
    const std::string text = state.entry ? gtk_entry_get_text(GTK_ENTRY(state.entry)) : "";
    auto completion = std::move(state.completion);
    gtk_widget_destroy(GTK_WIDGET(dialog));
    // Closing the dialog any other way counts as no button.
    guarded([&] { completion(response >= kFirstButton ? response : 0, text); });
}

}  // namespace

void showGtkOpenPanel(GtkWindow* parent, const OpenPanelOptions& options, OpenPanelCompletion completion) {
    const bool folders = options.canChooseDirectories && !options.canChooseFiles;
    GtkWidget* dialog = newChooser(
        parent, folders ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN,
        {options.title, options.prompt, options.cancelTitle, options.message}, options.allowedFileTypes);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), options.allowsMultipleSelection);
    connectResponse(dialog, onOpenResponse, new OpenState{std::move(completion), options.allowedFileTypes});
    gtk_widget_show(dialog);
}

void showGtkSavePanel(GtkWindow* parent, const SavePanelOptions& options, SavePanelCompletion completion) {
    GtkWidget* dialog = newChooser(parent, GTK_FILE_CHOOSER_ACTION_SAVE,
                                   {options.title, options.prompt, options.cancelTitle, options.message},
                                   options.allowedFileTypes);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    // The replace question is ours, with the shell's texts, for every name.
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, FALSE);
    gtk_file_chooser_set_current_name(chooser, options.nameFieldStringValue.c_str());
    connectResponse(dialog, onSaveResponse,
                    new SaveState{std::move(completion), options.allowedFileTypes, options.title,
                                  options.replaceQuestion});
    gtk_widget_show(dialog);
}

void showGtkAlertSheet(GtkWindow* parent, const AlertOptions& options, AlertCompletion completion) {
    GtkWidget* entry = nullptr;
    GtkWidget* dialog = newMessageDialog(parent, options, &entry);
    connectResponse(dialog, onAlertResponse, new AlertState{std::move(completion), entry});
    gtk_widget_show(dialog);
}

long runGtkModalAlert(const AlertOptions& options) {
    GtkWidget* entry = nullptr;
    GtkWidget* dialog = newMessageDialog(nullptr, options, &entry);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    return response >= kFirstButton ? response : 0;
}

}  // namespace jaunvel::gtk
