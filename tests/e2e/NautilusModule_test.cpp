// The Nautilus adapter loaded as Nautilus loads it (a GTypeModule that opens the module and
// calls nautilus_module_initialize and nautilus_module_list_types), given file-info objects of
// the test's own for files on a simulated gateway share, with the service running and the
// Finder extension (and the test extension, which logs what it is told) switched on. The test
// plays Nautilus: it asks for extension info, asks again about files whose info was
// invalidated, builds menus and activates their items, and iterates GLib's main context.
#include <gmodule.h>
#include <gtest/gtest.h>
#include <nautilus-extension.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "GatewaySim.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "plugins/PluginRegistry.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// --- A file info of the test's own -----------------------------------------------------------

struct HarnessFile {
  GObject parent;
  std::string* path;
  std::vector<std::string>* emblems;
  int invalidations;
  bool stale;  // its extension info was invalidated: Nautilus would ask again
};
struct HarnessFileClass {
  GObjectClass parent;
};

HarnessFile* asHarness(NautilusFileInfo* f) { return reinterpret_cast<HarnessFile*>(f); }

void initFileInfo(gpointer iface, gpointer) {
  auto* i = static_cast<NautilusFileInfoInterface*>(iface);
  i->is_gone = [](NautilusFileInfo*) -> gboolean { return FALSE; };
  i->get_name = [](NautilusFileInfo* f) {
    return g_path_get_basename(asHarness(f)->path->c_str());
  };
  i->get_uri = [](NautilusFileInfo* f) {
    return g_filename_to_uri(asHarness(f)->path->c_str(), nullptr, nullptr);
  };
  i->get_parent_uri = [](NautilusFileInfo* f) {
    gchar* parent = g_path_get_dirname(asHarness(f)->path->c_str());
    gchar* uri = g_filename_to_uri(parent, nullptr, nullptr);
    g_free(parent);
    return uri;
  };
  i->get_uri_scheme = [](NautilusFileInfo*) { return g_strdup("file"); };
  i->get_mime_type = [](NautilusFileInfo*) { return g_strdup("application/octet-stream"); };
  i->is_mime_type = [](NautilusFileInfo*, const char*) -> gboolean { return FALSE; };
  i->is_directory = [](NautilusFileInfo* f) -> gboolean {
    return g_file_test(asHarness(f)->path->c_str(), G_FILE_TEST_IS_DIR);
  };
  i->add_emblem = [](NautilusFileInfo* f, const char* emblem) {
    asHarness(f)->emblems->push_back(emblem);
  };
  i->get_string_attribute = [](NautilusFileInfo*, const char*) -> char* { return nullptr; };
  i->add_string_attribute = [](NautilusFileInfo*, const char*, const char*) {};
  // As Nautilus: what extensions said goes, and they are asked again.
  i->invalidate_extension_info = [](NautilusFileInfo* f) {
    asHarness(f)->emblems->clear();
    ++asHarness(f)->invalidations;
    asHarness(f)->stale = true;
  };
  i->get_activation_uri = [](NautilusFileInfo* f) {
    return g_filename_to_uri(asHarness(f)->path->c_str(), nullptr, nullptr);
  };
  i->get_file_type = [](NautilusFileInfo* f) {
    return g_file_test(asHarness(f)->path->c_str(), G_FILE_TEST_IS_DIR) ? G_FILE_TYPE_DIRECTORY
                                                                      : G_FILE_TYPE_REGULAR;
  };
  i->get_location = [](NautilusFileInfo* f) {
    return g_file_new_for_path(asHarness(f)->path->c_str());
  };
  i->get_parent_location = [](NautilusFileInfo* f) {
    GFile* file = g_file_new_for_path(asHarness(f)->path->c_str());
    GFile* parent = g_file_get_parent(file);
    g_object_unref(file);
    return parent;
  };
  i->get_parent_info = [](NautilusFileInfo*) -> NautilusFileInfo* { return nullptr; };
  i->get_mount = [](NautilusFileInfo*) -> GMount* { return nullptr; };
  i->can_write = [](NautilusFileInfo*) -> gboolean { return TRUE; };
}

GType harnessFileType() {
  static const GType type = [] {
    static const GTypeInfo info = {
        sizeof(HarnessFileClass),
        nullptr,
        nullptr,
        [](gpointer klass, gpointer) {
          G_OBJECT_CLASS(klass)->finalize = [](GObject* o) {
            auto* f = reinterpret_cast<HarnessFile*>(o);
            delete f->path;
            delete f->emblems;
            G_OBJECT_CLASS(g_type_class_peek(G_TYPE_OBJECT))->finalize(o);
          };
        },
        nullptr,
        nullptr,
        sizeof(HarnessFile),
        0,
        [](GTypeInstance* instance, gpointer) {
          auto* f = reinterpret_cast<HarnessFile*>(instance);
          f->path = new std::string;
          f->emblems = new std::vector<std::string>;
        },
        nullptr,
    };
    const GType t = g_type_register_static(G_TYPE_OBJECT, "HarnessFile", &info, GTypeFlags(0));
    static const GInterfaceInfo fileInfo = {initFileInfo, nullptr, nullptr};
    g_type_add_interface_static(t, NAUTILUS_TYPE_FILE_INFO, &fileInfo);
    return t;
  }();
  return type;
}

NautilusFileInfo* newFile(const std::string& path) {
  auto* f = static_cast<HarnessFile*>(g_object_new(harnessFileType(), nullptr));
  *f->path = path;
  return NAUTILUS_FILE_INFO(f);
}

const std::vector<std::string>& emblemsOf(NautilusFileInfo* f) { return *asHarness(f)->emblems; }

// --- The module, loaded as Nautilus loads it ---------------------------------------------------

struct HarnessModule {
  GTypeModule parent;
};
struct HarnessModuleClass {
  GTypeModuleClass parent;
};

using Initialize = void (*)(GTypeModule*);
using ListTypes = void (*)(const GType**, int*);
using Shutdown = void (*)();
GModule* gLibrary = nullptr;

GType harnessModuleType() {
  static const GType type = [] {
    static const GTypeInfo info = {
        sizeof(HarnessModuleClass),
        nullptr,
        nullptr,
        [](gpointer klass, gpointer) {
          auto* c = G_TYPE_MODULE_CLASS(klass);
          c->load = [](GTypeModule* module) -> gboolean {
            gLibrary = g_module_open(PELLORA_NAUTILUS_MODULE, GModuleFlags(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL));
            if (!gLibrary) return FALSE;
            gpointer initialize = nullptr;
            if (!g_module_symbol(gLibrary, "nautilus_module_initialize", &initialize)) return FALSE;
            reinterpret_cast<Initialize>(initialize)(module);
            return TRUE;
          };
          // Nautilus never unloads its modules.
          c->unload = [](GTypeModule*) {};
        },
        nullptr,
        nullptr,
        sizeof(HarnessModule),
        0,
        nullptr,
        nullptr,
    };
    return g_type_register_static(G_TYPE_TYPE_MODULE, "HarnessModule", &info, GTypeFlags(0));
  }();
  return type;
}

// --- The test --------------------------------------------------------------------------------

constexpr const char* kStubEmblem = "emblem-pellora-stub";

void iterate(Clock::duration d = 5ms) {
  const auto until = Clock::now() + d;
  do {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    std::this_thread::sleep_for(1ms);
  } while (Clock::now() < until);
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class NautilusModuleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::geteuid() != 0) return;
    dir_ = new TempDir;
    sim_ = new GatewaySim;
    service_ = new TestProcess;
    sim_->addStub("docs/a-stub.png", "A");
    sim_->addStub("docs/b-stub.pdf", "B");
    sim_->addOnline("docs/c-online.txt", "C");
    sim_->addStub("docs/sub/x.dat", "X");
    sim_->addStub("warm/w-stub.pdf", "W");
    // Named so that the test extension badges neither.
    sim_->addStub("fresh/report.pdf", "N");
    sim_->addOnline("fresh/notes.txt", "O");
    sim_->addOnline("other/one.txt", "1");
    ASSERT_TRUE(sim_->mount());
    home_ = dir_->mkdir("home");
    // This process is Nautilus: the module and the extensions it starts read these.
    const std::map<std::string, std::string> env = {
        {"HOME", home_},
        {"XDG_CONFIG_HOME", *dir_ / "config"},
        {"XDG_DATA_HOME", dir_->mkdir("data")},
        {"XDG_CACHE_HOME", *dir_ / "cache"},
        {"PELLORA_USER_DB_HOME", home_},
        {"PELLORA_LOG", "stderr"},
        {"PELLORA_TESTEXT_FOLDERS", dir_->write("testext-folders", sim_->mountPoint() + "\n")},
        {"PELLORA_TESTEXT_LOG", *dir_ / "testext.log"},
        {"PELLORA_TESTEXT_OUT", *dir_ / "testext.out"},
    };
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    platform::plugins::PluginRegistry registry;
    ASSERT_TRUE(registry.add(PELLORA_EXTENSION_BUNDLE));
    ASSERT_TRUE(registry.add(PELLORA_TESTEXT_BUNDLE));
    ASSERT_TRUE(service_->start({PELLORA_SERVICE_PATH}, {{"QT_QPA_PLATFORM", "offscreen"}},
                                *dir_ / "service.log"));

    GTypeModule* module = G_TYPE_MODULE(g_object_new(harnessModuleType(), nullptr));
    ASSERT_TRUE(g_type_module_use(module));
    const GType* types = nullptr;
    int count = 0;
    gpointer listTypes = nullptr;
    ASSERT_TRUE(g_module_symbol(gLibrary, "nautilus_module_list_types", &listTypes));
    reinterpret_cast<ListTypes>(listTypes)(&types, &count);
    ASSERT_EQ(count, 1);
    provider_ = g_object_new(types[0], nullptr);
    ASSERT_TRUE(NAUTILUS_IS_INFO_PROVIDER(provider_));
    ASSERT_TRUE(NAUTILUS_IS_MENU_PROVIDER(provider_));
  }

  static void TearDownTestSuite() {
    if (gLibrary) {
      gpointer shutdown = nullptr;
      if (g_module_symbol(gLibrary, "nautilus_module_shutdown", &shutdown)) {
        reinterpret_cast<Shutdown>(shutdown)();
      }
    }
    if (provider_) g_object_unref(provider_);
    if (service_) service_->stop();
    delete service_;
    delete sim_;
    delete dir_;
  }

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
    ASSERT_NE(provider_, nullptr);
  }
  void TearDown() override {
    for (auto* item : menus_) g_object_unref(item);
    for (auto* f : files_) g_object_unref(f);
    if (HasFailure()) {
      std::cerr << "Service log:\n" << service_->log() << "\nTest extension:\n"
                << contentOf(*dir_ / "testext.log") << "\n";
    }
  }

  NautilusFileInfo* file(const std::string& rel) {
    files_.push_back(newFile(sim_->path(rel)));
    return files_.back();
  }

  // What Nautilus does for extension info: asks, and waits for an answer that is to come.
  NautilusOperationResult ask(NautilusFileInfo* f) {
    // Each request starts from nothing, as Nautilus's does.
    asHarness(f)->emblems->clear();
    asHarness(f)->stale = false;
    auto* done = new bool(false);
    GClosure* closure = g_cclosure_new(
        G_CALLBACK(+[](NautilusInfoProvider*, NautilusOperationHandle*, NautilusOperationResult,
                       gpointer flag) { *static_cast<bool*>(flag) = true; }),
        done, [](gpointer flag, GClosure*) { delete static_cast<bool*>(flag); });
    g_closure_set_marshal(closure, g_cclosure_marshal_generic);
    g_closure_ref(closure);
    g_closure_sink(closure);
    NautilusOperationHandle* handle = nullptr;
    const auto result = nautilus_info_provider_update_file_info(
        NAUTILUS_INFO_PROVIDER(provider_), f, closure, &handle);
    if (result == NAUTILUS_OPERATION_IN_PROGRESS) {
      EXPECT_NE(handle, nullptr);
      const auto deadline = Clock::now() + 5s;
      while (!*done && Clock::now() < deadline) iterate(1ms);
      EXPECT_TRUE(*done) << "an answer in progress never came";
    }
    g_closure_unref(closure);
    return result;
  }

  // Serves the module, asking again about files whose info was invalidated, until done().
  bool settle(const std::vector<NautilusFileInfo*>& files, const std::function<bool()>& done,
              Clock::duration timeout = 20s) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      iterate();
      for (auto* f : files) {
        if (asHarness(f)->stale) ask(f);
      }
      if (done()) return true;
    }
    return done();
  }

  bool hasStubEmblem(NautilusFileInfo* f) {
    return emblemsOf(f) == std::vector<std::string>{kStubEmblem};
  }

  std::vector<NautilusMenuItem*> menu(const std::vector<NautilusFileInfo*>& selection) {
    GList* files = nullptr;
    for (auto* f : selection) files = g_list_append(files, f);
    GList* items = nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(provider_), files);
    g_list_free(files);
    std::vector<NautilusMenuItem*> out;
    for (GList* l = items; l; l = l->next) out.push_back(NAUTILUS_MENU_ITEM(l->data));
    g_list_free(items);
    menus_.insert(menus_.end(), out.begin(), out.end());
    return out;
  }
  // "title" for an enabled item, "(title)" for a disabled one, of our extension's items.
  static std::string describe(NautilusMenuItem* item) {
    gchar* label = nullptr;
    gboolean sensitive = FALSE;
    g_object_get(item, "label", &label, "sensitive", &sensitive, nullptr);
    std::string out = sensitive ? label : "(" + std::string(label) + ")";
    g_free(label);
    return out;
  }
  NautilusMenuItem* find(const std::vector<NautilusMenuItem*>& items, const std::string& title) {
    for (auto* item : items) {
      if (describe(item) == title) return item;
    }
    return nullptr;
  }

  static TempDir* dir_;
  static GatewaySim* sim_;
  static TestProcess* service_;
  static gpointer provider_;
  static std::string home_;
  std::vector<NautilusFileInfo*> files_;
  std::vector<NautilusMenuItem*> menus_;
};

TempDir* NautilusModuleTest::dir_ = nullptr;
GatewaySim* NautilusModuleTest::sim_ = nullptr;
TestProcess* NautilusModuleTest::service_ = nullptr;
gpointer NautilusModuleTest::provider_ = nullptr;
std::string NautilusModuleTest::home_;

TEST_F(NautilusModuleTest, StubsGetTheEmblemAndLoseItOnceBroughtOnline) {
  auto* a = file("docs/a-stub.png");
  auto* b = file("docs/b-stub.pdf");
  auto* c = file("docs/c-online.txt");
  auto* sub = file("docs/sub");
  const std::vector<NautilusFileInfo*> all = {a, b, c, sub};
  for (auto* f : all) ask(f);
  // Asked before the extension observed the share, the files are asked about again then.
  ASSERT_TRUE(settle(all, [&] { return hasStubEmblem(a) && hasStubEmblem(b); }));
  EXPECT_TRUE(emblemsOf(c).empty());
  EXPECT_TRUE(emblemsOf(sub).empty());
  // Nothing was read to get there.
  auto counters = sim_->counters();
  EXPECT_TRUE(counters["downloads"].empty()) << counters;
  EXPECT_TRUE(counters["contentReads"].empty()) << counters;

  // Asked again about a file whose badge is known, the answer comes at once.
  EXPECT_EQ(ask(b), NAUTILUS_OPERATION_COMPLETE);
  EXPECT_TRUE(hasStubEmblem(b));

  // The gateway brings a online: its emblem goes, b keeps its own.
  char digit[2] = {};
  ASSERT_EQ(platform::xattr::get(sim_->path("docs/a-stub.png"), "zavro.download.file", digit,
                                 sizeof digit, 0, 0),
            1);
  ASSERT_TRUE(settle(all, [&] { return emblemsOf(a).empty(); }));
  EXPECT_GE(asHarness(a)->invalidations, 1);
  EXPECT_TRUE(hasStubEmblem(b));
}

TEST_F(NautilusModuleTest, AFolderSeenFirstIsAnsweredAsynchronously) {
  // Once the share is observed, the first items of a new folder wait for their badges.
  auto* warm = file("warm/w-stub.pdf");
  ask(warm);
  ASSERT_TRUE(settle({warm}, [&] { return hasStubEmblem(warm); }));
  auto* stub = file("fresh/report.pdf");
  auto* online = file("fresh/notes.txt");
  const auto start = Clock::now();
  EXPECT_EQ(ask(stub), NAUTILUS_OPERATION_IN_PROGRESS);
  EXPECT_TRUE(hasStubEmblem(stub));
  // No badge comes for an online file: it is answered without one after the short wait.
  EXPECT_EQ(ask(online), NAUTILUS_OPERATION_IN_PROGRESS);
  EXPECT_TRUE(emblemsOf(online).empty());
  EXPECT_LT(Clock::now() - start, 3s);
  // Later asks are answered at once.
  EXPECT_EQ(ask(online), NAUTILUS_OPERATION_COMPLETE);
}

TEST_F(NautilusModuleTest, MenuItemsFollowTheSelectionAndActivatingOneBringsItOnline) {
  auto* b = file("docs/b-stub.pdf");
  auto* c = file("docs/c-online.txt");
  auto* sub = file("docs/sub");
  for (auto* f : {b, c, sub}) ask(f);
  ASSERT_TRUE(settle({b, c, sub}, [&] { return hasStubEmblem(b); }));
  EXPECT_TRUE(find(menu({b}), "Bring File Online"));
  EXPECT_TRUE(find(menu({c}), "(File Is Online)"));
  EXPECT_TRUE(find(menu({sub}), "Bring Folder Online"));
  const auto items = menu({b, sub});
  // The test extension's item comes too, after the Finder extension's.
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(describe(items[0]), "Bring Items Online");
  EXPECT_EQ(describe(items[1]), "Write Selection");
  // Files off the share get no menu.
  auto* elsewhere = newFile(home_);
  EXPECT_TRUE(menu({elsewhere}).empty());
  g_object_unref(elsewhere);

  ASSERT_TRUE(sim_->resetCounters());
  nautilus_menu_item_activate(items[0]);
  ASSERT_TRUE(settle({b}, [&] { return emblemsOf(b).empty(); }));
  const auto reads = sim_->counters()["downloadReads"];
  EXPECT_EQ(reads.value("docs/b-stub.pdf", 0), 1) << reads;
  EXPECT_EQ(reads.value("docs/sub/x.dat", 0), 1) << reads;
  char value[8] = {};
  EXPECT_NE(platform::xattr::get(sim_->path("docs/b-stub.pdf"), "is.zavro.stub", value,
                                 sizeof value, 0, 0),
            5);
  // The other item runs in its own extension, with the selection its menu was made for.
  nautilus_menu_item_activate(items[1]);
  const std::string expected = sim_->path("docs/b-stub.pdf") + "\n" + sim_->path("docs/sub") + "\n";
  EXPECT_TRUE(settle({}, [&] { return contentOf(*dir_ / "testext.out") == expected; }, 10s));
}

TEST_F(NautilusModuleTest, AFolderIsObservedOnceAndNoLongerWhenNautilusLetsGoOfIt) {
  const std::string other = sim_->path("other");
  auto* one = newFile(sim_->path("other/one.txt"));
  auto count = [&](const std::string& call) {
    std::istringstream log(contentOf(*dir_ / "testext.log"));
    int n = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.size() > call.size() && line.substr(line.find(' ') + 1) == call) ++n;
    }
    return n;
  };
  ask(one);
  ASSERT_TRUE(settle({one}, [&] { return count("begin " + other) == 1; }));
  ask(one);
  ask(one);
  EXPECT_EQ(count("begin " + other), 1);
  g_object_unref(one);
  EXPECT_TRUE(settle({}, [&] { return count("end " + other) == 1; }, 10s));
}

}  // namespace
}  // namespace pellora::testing
