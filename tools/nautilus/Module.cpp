// The Nautilus extension module: the entry points Nautilus looks up, and one provider type that
// is both an info provider and a menu provider, passing Nautilus's calls to the Adapter.
// nautilus-extension.h declares these entry points without C linkage for C++; they are defined
// here with it, so the header's parts are included without it.
#define NAUTILUS_EXTENSION_H
#include <libnautilus-extension/nautilus-info-provider.h>
#include <libnautilus-extension/nautilus-menu-provider.h>

#include <memory>

#include "Adapter.h"

namespace {

using pellora::nautilus::Adapter;

struct PelloraProvider {
  GObject parent;
};
struct PelloraProviderClass {
  GObjectClass parent;
};

GType gProviderType = 0;
// One adapter for the process, made with the first provider object, ended with the module.
std::unique_ptr<Adapter> gAdapter;

Adapter& adapter() {
  if (!gAdapter) {
    Adapter::Options options;
    options.preview.cacheDir = g_get_user_cache_dir();
    gAdapter = std::make_unique<Adapter>(std::move(options));
    gAdapter->start();
  }
  return *gAdapter;
}

NautilusOperationResult updateFileInfo(NautilusInfoProvider* provider, NautilusFileInfo* file,
                                       GClosure* done, NautilusOperationHandle** handle) {
  return adapter().updateFileInfo(provider, file, done, handle) == Adapter::Answer::InProgress
             ? NAUTILUS_OPERATION_IN_PROGRESS
             : NAUTILUS_OPERATION_COMPLETE;
}

void cancelUpdate(NautilusInfoProvider*, NautilusOperationHandle* handle) {
  if (gAdapter) gAdapter->cancelUpdate(handle);
}

GList* fileItems(NautilusMenuProvider* provider, GList* files) {
  return adapter().fileItems(provider, files);
}

void initInfoProvider(gpointer iface, gpointer) {
  auto* info = static_cast<NautilusInfoProviderInterface*>(iface);
  info->update_file_info = updateFileInfo;
  info->cancel_update = cancelUpdate;
}

void initMenuProvider(gpointer iface, gpointer) {
  static_cast<NautilusMenuProviderInterface*>(iface)->get_file_items = fileItems;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void nautilus_module_initialize(GTypeModule* module) {
  static const GTypeInfo info = {
      sizeof(PelloraProviderClass), nullptr, nullptr, nullptr, nullptr, nullptr,
      sizeof(PelloraProvider),      0,       [](GTypeInstance*, gpointer) { adapter(); },
      nullptr,
  };
  gProviderType =
      g_type_module_register_type(module, G_TYPE_OBJECT, "PelloraProvider", &info, GTypeFlags(0));
  static const GInterfaceInfo infoProvider = {initInfoProvider, nullptr, nullptr};
  static const GInterfaceInfo menuProvider = {initMenuProvider, nullptr, nullptr};
  g_type_module_add_interface(module, gProviderType, NAUTILUS_TYPE_INFO_PROVIDER, &infoProvider);
  g_type_module_add_interface(module, gProviderType, NAUTILUS_TYPE_MENU_PROVIDER, &menuProvider);
}

__attribute__((visibility("default"))) void nautilus_module_shutdown(void) { gAdapter.reset(); }

__attribute__((visibility("default"))) void nautilus_module_list_types(const GType** types,
                                                                       int* count) {
  static GType list[1];
  list[0] = gProviderType;
  *types = list;
  *count = 1;
}

}  // extern "C"
