// The plug-in loader: candidate names, one shared record per library,
// reference counting, and the stub for a missing symbol.

#include "Xext/swap/plugin.h"

#include <gtest/gtest.h>

#include <string>

namespace palvon::test {
namespace {

TEST(Plugin, LoadsTheSystemGLLibraryOnceForAllUsers) {
  Plugin* first = nullptr;
  Plugin* second = nullptr;
  ASSERT_EQ(loadPlugin("libGL:libGL.so.1", 0, &first), nullptr);
  ASSERT_NE(first, nullptr);
  // "libGL" (begins with lib) is tried as given and does not open.
  EXPECT_STREQ(getPluginPath(first), "libGL.so.1");
  EXPECT_EQ(first->references, 0);
  // The same path again, and the same library under another name.
  ASSERT_EQ(loadPlugin("libGL.so.1", 0, &second), nullptr);
  EXPECT_EQ(second, first);
  ASSERT_EQ(loadPlugin("GL", 0, &second), nullptr);  // libGL.so
  EXPECT_EQ(second, first);
  EXPECT_EQ(first->references, 2);

  void* function = nullptr;
  EXPECT_EQ(getPluginSymbol(first, "glGetString", &function), nullptr);
  EXPECT_NE(function, reinterpret_cast<void*>(&pluginMissingSymbolStub));

  const char* failure = getPluginSymbol(first, "glNoSuchFunction", &function);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure).rfind("No glNoSuchFunction() in libGL.so.1 (", 0), 0u) << failure;
  EXPECT_EQ(function, reinterpret_cast<void*>(&pluginMissingSymbolStub));
  reinterpret_cast<void (*)()>(function)();  // harmless

  EXPECT_EQ(unloadPlugin(first), nullptr);
  EXPECT_EQ(unloadPlugin(first), nullptr);
  EXPECT_EQ(first->references, 0);
  EXPECT_EQ(unloadPlugin(first), nullptr);  // the last user closes it
  ASSERT_EQ(loadPlugin("libGL.so.1", 0, &second), nullptr);
  EXPECT_EQ(second->references, 0);  // a new record
  EXPECT_EQ(unloadPlugin(second), nullptr);
}

struct NameCase {
  const char* list;
  const char* message;  // the failure for the last candidate
};

class PluginNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(PluginNames, FormsThePathOfEachCandidate) {
  Plugin* plugin = nullptr;
  const char* failure = loadPlugin(GetParam().list, 0, &plugin);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(plugin, nullptr);
  EXPECT_EQ(std::string(failure).rfind(GetParam().message, 0), 0u) << failure;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PluginNames,
    ::testing::Values(NameCase{"", "No library name given"},
                      NameCase{"notthere", "Can't open library 'libnotthere.so': "},
                      NameCase{"mylib.so.1", "Can't open library 'libmylib.so.1.so': "},
                      NameCase{"thing.SO", "Can't open library 'thing.SO': "},
                      NameCase{"/nowhere/libx.so.3", "Can't open library '/nowhere/libx.so.3': "},
                      NameCase{"libnotthere1:libnotthere2", "Can't open library 'libnotthere2': "}));

TEST(Plugin, ResidentLibraryStays) {
  Plugin* plugin = nullptr;
  ASSERT_EQ(loadPlugin("libnotthere:libm.so.6", kPluginResident | kPluginBindNow, &plugin), nullptr);
  EXPECT_STREQ(getPluginPath(plugin), "libm.so.6");
  EXPECT_EQ(unloadPlugin(plugin), nullptr);
  Plugin* again = nullptr;
  ASSERT_EQ(loadPlugin("libm.so.6", 0, &again), nullptr);
  EXPECT_EQ(again, plugin);  // still the loaded record
}

}  // namespace
}  // namespace palvon::test
