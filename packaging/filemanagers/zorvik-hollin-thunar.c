/* Thunar's context menu for files and folders: "Versions…", "Check a File…" and "Back Up Now", each
 * running zorvik-hollin-open with the selected items as arguments of their own (never through a shell),
 * which asks the application on the session bus.
 *
 * A Thunar extension rather than a custom action: Thunar reads custom actions from one uca.xml only, the
 * person's own (~/.config/Thunar/uca.xml) where it exists, else the distribution's (/etc/xdg/Thunar),
 * so a package cannot add one for everybody without rewriting files that are not its own. Thunar loads
 * every extension in its extensions folder. */

#include <string.h>

#include <thunarx/thunarx.h>

#ifndef ZH_OPEN_PROGRAM
#error "ZH_OPEN_PROGRAM names the installed zorvik-hollin-open"
#endif

typedef struct {
    GObject parent;
} ZorvikHollinMenu;

typedef struct {
    GObjectClass parent_class;
} ZorvikHollinMenuClass;

GType zorvik_hollin_menu_get_type(void);
void zorvik_hollin_menu_register_type(ThunarxProviderPlugin* plugin);
static void zorvik_hollin_menu_provider_init(ThunarxMenuProviderIface* iface);

THUNARX_DEFINE_TYPE_WITH_CODE(ZorvikHollinMenu, zorvik_hollin_menu, G_TYPE_OBJECT,
                              THUNARX_IMPLEMENT_INTERFACE(THUNARX_TYPE_MENU_PROVIDER,
                                                          zorvik_hollin_menu_provider_init));

static void zorvik_hollin_menu_class_init(ZorvikHollinMenuClass* klass) {
    (void)klass;
}

static void zorvik_hollin_menu_init(ZorvikHollinMenu* self) {
    (void)self;
}

/* German where the person reads German, English otherwise: the same words as the application's. */
static gboolean reads_german(void) {
    const gchar* const* names = g_get_language_names();
    for (; *names != NULL; ++names) {
        if (strcmp(*names, "C") == 0 || strcmp(*names, "C.UTF-8") == 0 || strcmp(*names, "POSIX") == 0)
            continue;
        return strncmp(*names, "de", 2) == 0 &&
               ((*names)[2] == '\0' || (*names)[2] == '_' || (*names)[2] == '.' || (*names)[2] == '@');
    }
    return FALSE;
}

/* The selected items as file URIs (a URI carries any name, also one that is not UTF-8). */
static void run_action(ThunarxMenuItem* item, gpointer user_data) {
    const gchar* action = user_data;
    GList* files = g_object_get_data(G_OBJECT(item), "zorvik-hollin-files");
    GPtrArray* argv = g_ptr_array_new_with_free_func(g_free);
    GError* error = NULL;

    g_ptr_array_add(argv, g_strdup(ZH_OPEN_PROGRAM));
    g_ptr_array_add(argv, g_strdup(action));
    for (GList* lp = files; lp != NULL; lp = lp->next)
        g_ptr_array_add(argv, thunarx_file_info_get_uri(lp->data));
    g_ptr_array_add(argv, NULL);
    if (!g_spawn_async(NULL, (gchar**)argv->pdata, NULL, G_SPAWN_DEFAULT, NULL, NULL, NULL, &error)) {
        g_warning("Zorvik Hollin: cannot run %s: %s", ZH_OPEN_PROGRAM, error->message);
        g_error_free(error);
    }
    g_ptr_array_free(argv, TRUE);
}

static ThunarxMenuItem* menu_item(const gchar* name, const gchar* label, const gchar* tooltip,
                                  const gchar* icon, const gchar* action, GList* files) {
    ThunarxMenuItem* item = thunarx_menu_item_new(name, label, tooltip, icon);
    g_object_set_data_full(G_OBJECT(item), "zorvik-hollin-files", thunarx_file_info_list_copy(files),
                           (GDestroyNotify)thunarx_file_info_list_free);
    g_signal_connect(item, "activate", G_CALLBACK(run_action), (gpointer)action);
    return item;
}

static GList* get_file_menu_items(ThunarxMenuProvider* provider, GtkWidget* window, GList* files) {
    gboolean german = reads_german();
    GList* items = NULL;
    guint count = 0;

    (void)provider;
    (void)window;
    /* Files of this computer only: the backup has nothing of a network share's or the trash's. */
    for (GList* lp = files; lp != NULL; lp = lp->next, ++count) {
        gchar* scheme = thunarx_file_info_get_uri_scheme(lp->data);
        gboolean local = g_strcmp0(scheme, "file") == 0;
        g_free(scheme);
        if (!local)
            return NULL;
    }
    if (count == 0)
        return NULL;

    /* Versions of one item at a time, as the restore window shows them. */
    if (count == 1)
        items =
            g_list_append(items, menu_item("ZorvikHollin::versions", german ? "Versionen …" : "Versions…",
                                           german ? "Jede Kopie, die das Zorvik-Hollin-Gerät davon aufbewahrt"
                                                  : "Every copy of it the Zorvik Hollin device keeps",
                                           "document-open-recent", "versions", files));
    items = g_list_append(items, menu_item("ZorvikHollin::check", german ? "Datei prüfen …" : "Check a File…",
                                           german ? "Ob es gesichert ist, und wenn nicht, warum"
                                                  : "Whether it is backed up, and if not, why",
                                           "dialog-question", "check", files));
    items =
        g_list_append(items, menu_item("ZorvikHollin::backup", german ? "Jetzt sichern" : "Back Up Now",
                                       german ? "Mit der nächsten Sicherung an das Zorvik-Hollin-Gerät senden"
                                              : "Send it to the Zorvik Hollin device with the next backup",
                                       "document-save", "backup", files));
    return items;
}

static void zorvik_hollin_menu_provider_init(ThunarxMenuProviderIface* iface) {
    iface->get_file_menu_items = get_file_menu_items;
}

static GType type_list[1];

G_MODULE_EXPORT void thunar_extension_initialize(ThunarxProviderPlugin* plugin);
G_MODULE_EXPORT void thunar_extension_shutdown(void);
G_MODULE_EXPORT void thunar_extension_list_types(const GType** types, gint* n_types);

G_MODULE_EXPORT void thunar_extension_initialize(ThunarxProviderPlugin* plugin) {
    const gchar* mismatch =
        thunarx_check_version(THUNARX_MAJOR_VERSION, THUNARX_MINOR_VERSION, THUNARX_MICRO_VERSION);
    if (mismatch != NULL) {
        g_warning("Zorvik Hollin: this Thunar's extension interface does not fit: %s", mismatch);
        return;
    }
    /* The type stays registered while Thunar runs: the module is never unloaded under it. */
    thunarx_provider_plugin_set_resident(plugin, TRUE);
    zorvik_hollin_menu_register_type(plugin);
    type_list[0] = zorvik_hollin_menu_get_type();
}

G_MODULE_EXPORT void thunar_extension_shutdown(void) {}

G_MODULE_EXPORT void thunar_extension_list_types(const GType** types, gint* n_types) {
    *types = type_list;
    *n_types = G_N_ELEMENTS(type_list);
}
