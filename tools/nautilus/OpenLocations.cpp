#include "OpenLocations.h"

#include <gio/gio.h>

#include "FolderPaths.h"
#include "log/Log.h"

namespace pellora::nautilus {

namespace {

constexpr const char* kName = "org.freedesktop.FileManager1";
constexpr const char* kPath = "/org/freedesktop/FileManager1";

const platform::log::Log& locationsLog() {
  static const platform::log::Log log("com.zavro.Pellora", "Nautilus");
  return log;
}

}  // namespace

OpenLocations::OpenLocations(Handler handler)
    : handler_(std::move(handler)), cancellable_(g_cancellable_new()) {}

OpenLocations::~OpenLocations() {
  // Calls still under way end cancelled and find nothing of this object.
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  if (connection_) {
    if (subscription_) g_dbus_connection_signal_unsubscribe(connection_, subscription_);
    g_object_unref(connection_);
  }
}

std::set<std::string> OpenLocations::foldersOf(GVariant* uris) {
  std::set<std::string> out;
  if (!uris || !g_variant_is_of_type(uris, G_VARIANT_TYPE_STRING_ARRAY)) return out;
  GVariantIter it;
  const char* uri = nullptr;
  g_variant_iter_init(&it, uris);
  while (g_variant_iter_next(&it, "&s", &uri)) {
    if (char* path = g_filename_from_uri(uri, nullptr, nullptr)) {
      out.insert(pellora::host::normalPath(path));
      g_free(path);
    }
  }
  return out;
}

void OpenLocations::start() {
  g_bus_get(
      G_BUS_TYPE_SESSION, cancellable_,
      [](GObject*, GAsyncResult* result, gpointer self) {
        GError* error = nullptr;
        GDBusConnection* connection = g_bus_get_finish(result, &error);
        if (!connection) {
          if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            locationsLog().errorf("No session bus: folders Nautilus leaves stay observed (%s)",
                                  error->message);
          }
          g_error_free(error);
          return;
        }
        static_cast<OpenLocations*>(self)->connected(connection);
      },
      this);
}

void OpenLocations::connected(GDBusConnection* connection) {
  connection_ = connection;
  subscription_ = g_dbus_connection_signal_subscribe(
      connection_, nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged", kPath, kName,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters,
         gpointer self) {
        auto* locations = static_cast<OpenLocations*>(self);
        GVariant* changed = nullptr;
        g_variant_get(parameters, "(&s@a{sv}@as)", nullptr, &changed, nullptr);
        GVariant* value = g_variant_lookup_value(changed, "OpenLocations", G_VARIANT_TYPE_STRING_ARRAY);
        g_variant_unref(changed);
        if (value) {
          locations->update(value);
          g_variant_unref(value);
        } else {
          // Only named as changed: asked for.
          locations->fetch();
        }
      },
      this, nullptr);
  fetch();
}

void OpenLocations::fetch() {
  g_dbus_connection_call(
      connection_, kName, kPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kName, "OpenLocations"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, -1, cancellable_,
      [](GObject* source, GAsyncResult* result, gpointer self) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        if (!reply) {
          // Cancelled, or no file manager on the bus yet: the next change tells.
          g_error_free(error);
          return;
        }
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        static_cast<OpenLocations*>(self)->update(value);
        g_variant_unref(value);
        g_variant_unref(reply);
      },
      this);
}

void OpenLocations::update(GVariant* uris) {
  std::set<std::string> now = foldersOf(uris);
  if (now == folders_) return;
  folders_ = std::move(now);
  handler_(folders_);
}

}  // namespace pellora::nautilus
